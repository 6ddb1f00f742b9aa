#include "driver/frame_selection.h"

#include <algorithm>
#include <cstdio>

#include "driver/fatal_stop.h"
#include "driver/run_settings.h"
#include "imageio/bmp_writer.h"
#include "imageio/output_file.h"
#include "registration/coarse_translation.h"
#include "registration/frame_quality.h"
#include "registration/global_adjustment.h"

namespace {

constexpr std::int32_t kProgressStars = 50;

// Frame i of the run's list (a BMP file, or a frame of a SER video or FITS file, seen in
// 8 bits as the run sees it) into image, its full depth into deep; false when it could not
// be read (reported).
bool loadListedFrame(Image& image, DeepImage& deep, std::int32_t i, CameraRun& camera) {
    const RunSettings& s = settings;
    if (loadSourceFrame(image, deep, s.sourceNames[i].c_str(), s.sourceFrames[i], camera) != kFrameLoaded) return false;
    if (image.pixels == nullptr) {
        std::printf("Erreur : image vide (%i x %i pixels)\n", image.width, image.height);
        return false;
    }
    return true;
}

// The reference point of listed frame i, as the registration gives it.
void placeFrame(Image& image, std::int32_t i, const Image& reference) {
    const RunSettings& s = settings;
    image.x0 = s.sourceX0Given[i] != 0 ? s.sourceX0[i] : reference.x0;
    image.y0 = s.sourceY0Given[i] != 0 ? s.sourceY0[i] : reference.y0;
}

// Adds an image laid on the reference grid by the reference points: each channel times the
// validity byte, and the validity byte into the weight.
void accumulate(const Image& im, const Image& ref, std::vector<std::uint64_t>& sums,
                std::vector<std::uint32_t>& weights) {
    const std::int32_t dx = im.x0 - ref.x0, dy = im.y0 - ref.y0;
    const std::int32_t xBegin = std::max(0, -dx), xEnd = std::min(ref.width, im.width - dx);
    const std::int32_t yBegin = std::max(0, -dy), yEnd = std::min(ref.height, im.height - dy);
    for (std::int32_t y = yBegin; y < yEnd; ++y) {
        for (std::int32_t x = xBegin; x < xEnd; ++x) {
            const std::uint8_t* src = pixelAt(im, x + dx, y + dy);
            const std::size_t cell = std::size_t(y) * std::size_t(ref.width) + std::size_t(x);
            const std::uint32_t a = src[3];
            for (int c = 0; c < 3; ++c) sums[cell * 3 + std::size_t(c)] += std::uint64_t(src[c]) * a;
            weights[cell] += a;
        }
    }
}

}   // namespace

FrameRanking rankFrames(std::int32_t count, std::int32_t percent, bool announce) {
    FrameRanking r;
    const std::size_t slots = std::size_t(std::max(count, 0)) + 1;
    r.quality.assign(slots, 0.0);
    r.rank.assign(slots, 0);
    r.kept.assign(slots, 0);
    std::printf("\n**************************************************\n");
    std::printf("Mesure de la qualite des images : \n");
    std::printf("--------------------------------------------------\n");
    std::int32_t stars = 0;
    CameraRun pass;   // views scaled as they come: the measure does not depend on the scale
    for (std::int32_t i = 1; i <= count; ++i) {
        Image frame;
        DeepImage deep;
        std::printf("Image %i : ", i);
        if (loadListedFrame(frame, deep, i, pass)) {
            r.quality[std::size_t(i)] = frameQuality(frame);
            r.best.push_back(i);
            std::printf("  qualite=%.4f  ", r.quality[std::size_t(i)]);
        } else {
            std::printf("Image %i ecartee : illisible  ", i);
        }
        releasePixels(frame);
        stars = std::int32_t(std::int64_t(i) * kProgressStars / count);
        for (std::int32_t k = 0; k < stars; ++k) std::putchar('*');
        std::putchar('\n');
        std::fflush(stdout);
    }
    // Sharpest first; equal qualities in script order (no buffer: sorted in place).
    std::sort(r.best.begin(), r.best.end(), [&](std::int32_t a, std::int32_t b) {
        const double qa = r.quality[std::size_t(a)], qb = r.quality[std::size_t(b)];
        return qa > qb || (qa == qb && a < b);
    });
    const std::int32_t readable = std::int32_t(r.best.size());
    for (std::int32_t k = 0; k < readable; ++k) r.rank[std::size_t(r.best[std::size_t(k)])] = k + 1;
    r.keptCount = std::int32_t(std::int64_t(percent) * readable / 100);
    if (r.keptCount < 1 && readable > 0) r.keptCount = 1;
    for (std::int32_t k = 0; k < r.keptCount; ++k) r.kept[std::size_t(r.best[std::size_t(k)])] = 1;
    if (r.keptCount > 0) r.threshold = r.quality[std::size_t(r.best[std::size_t(r.keptCount - 1)])];
    if (readable == 0) {
        std::printf("Aucune image lisible : aucune image ne sera alignee\n");
    } else if (percent < 100 || announce) {
        std::printf("Seuil de qualite : %.4f  (%i images retenues sur %i, %i %%)\n", r.threshold, r.keptCount, count,
                    percent);
    }
    return r;
}

bool writeRanking(const FrameRanking& ranking, const char* path) {
    const RunSettings& s = settings;
    OutputFile out;
    const OutputOpen opened = openOutput(out, path);
    if (opened != OutputOpen::opened) {
        std::printf("Erreur : impossible de creer le fichier %s%s\n", path, outputOpenError(opened));
        return false;
    }
    const std::size_t count = ranking.quality.size();
    for (std::size_t i = 1; i < count; ++i) {
        const char* verdict = ranking.kept[i] != 0 ? "retenue" : "ecartee";
        if (ranking.rank[i] == 0) {
            std::fprintf(out.file, "%i %s illisible 0 %s\n", int(i), s.sourceNames[i].c_str(), verdict);
        } else {
            std::fprintf(out.file, "%i %s %.6f %i %s\n", int(i), s.sourceNames[i].c_str(), ranking.quality[i],
                         ranking.rank[i], verdict);
        }
    }
    if (!commitOutput(out, true)) {
        std::printf("Erreur : ecriture incomplete du fichier %s (disque plein ?)\n", path);
        return false;
    }
    return true;
}

void reportSetAside(const FrameRanking& ranking, std::int32_t i) {
    std::printf("\n**************************************************\n");
    if (ranking.rank[std::size_t(i)] == 0) {
        std::printf("Image %i (%s) ecartee : illisible\n", i, settings.sourceNames[i].c_str());
    } else {
        std::printf("Image %i (%s) ecartee par la selection (qualite %.4f, rang %i)\n", i,
                    settings.sourceNames[i].c_str(), ranking.quality[std::size_t(i)], ranking.rank[std::size_t(i)]);
    }
}

void buildReference(const FrameRanking& ranking, std::int32_t count, CameraRun& camera, const RunStages& stages) {
    RunSettings& s = settings;
    const std::int32_t readable = std::int32_t(ranking.best.size());
    if (readable == 0) {
        std::printf("Erreur : aucune image lisible, la reference ne peut pas etre construite\n");
        fatalStop();
    }
    if (count > readable) {
        std::printf("Attention : %i images demandees pour la reference, %i lisibles : toutes sont utilisees\n", count,
                    readable);
        count = readable;
    }
    std::printf("\n**************************************************\n");
    const std::int32_t first = ranking.best[0];
    std::printf("Construction de la reference a partir de %i images, reference provisoire : image %i (%s)\n", count,
                first, s.sourceNames[first].c_str());
    releasePixels(s.reference);
    DeepImage firstDeep;
    if (!loadListedFrame(s.reference, firstDeep, first, camera)) fatalStop();   // it was read a moment ago
    Image& ref = s.reference;
    ref.x0 = s.sourceX0Given[first] != 0 ? s.sourceX0[first] : ref.width / 2;
    ref.y0 = s.sourceY0Given[first] != 0 ? s.sourceY0[first] : ref.height / 2;
    const std::size_t cells = pixelBytes(ref.width, ref.height) / kBytesPerPixel;
    std::vector<std::uint64_t> sums(cells * 3, 0);
    std::vector<std::uint32_t> weights(cells, 0);
    accumulate(ref, ref, sums, weights);
    // With a deep stack, the reference frames at full depth too, moved as their views are.
    DeepStack deepReference;
    if (camera.stacking) {
        deepReference = startDeepStack(ref, firstDeep);
        if (firstDeep.channels != 0) addToDeepStack(deepReference, firstDeep, ref.x0, ref.y0);
    }
    std::FILE* const shiftLog = s.shiftLog;   // nothing of the building goes to shift.lst
    s.shiftLog = nullptr;
    for (std::int32_t k = 1; k < count; ++k) {
        const std::int32_t i = ranking.best[std::size_t(k)];
        std::printf("\nReference : alignement de l'image %i (%s)\n", i, s.sourceNames[i].c_str());
        DeepImage deep;
        if (!loadListedFrame(s.current, deep, i, camera)) continue;
        placeFrame(s.current, i, ref);
        RigidGeometry rigid;
        if (s.angleMin < s.angleMax || s.angleMin > s.angleMax) {
            stages.globalAdjustment(&rigid);
        } else {
            stages.coarseTranslationSearch(&rigid);
        }
        if (s.current.pixels != nullptr) {
            accumulate(s.current, ref, sums, weights);
            if (camera.stacking && deep.channels != 0) {
                addToDeepStack(deepReference, rotateAndShiftDeep(deep, rigid, s.current), s.current.x0, s.current.y0);
            }
        }
        releasePixels(s.current);
    }
    s.shiftLog = shiftLog;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        std::uint8_t* px = ref.pixels + cell * kBytesPerPixel;
        const std::uint32_t w = weights[cell];
        for (int c = 0; c < 3; ++c) px[c] = w != 0 ? std::uint8_t(sums[cell * 3 + std::size_t(c)] / w) : 0;
        px[3] = w != 0 ? 255 : 0;
    }
    std::printf("\nReference construite : ");
    saveBmp(ref, "reference_auto.bmp");
    if (camera.stacking) {
        writeDeepStack(deepReference, "reference_auto.fit");
        camera.stack = startDeepStack(ref, firstDeep);   // the run's stack, over the built reference
    }
}
