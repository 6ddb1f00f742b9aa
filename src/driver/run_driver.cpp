#include "driver/run_driver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "blocks/block_stage.h"
#include "common/clock.h"
#include "common/precision.h"
#include "composite/composite.h"
#include "driver/camera_frames.h"
#include "driver/fatal_stop.h"
#include "driver/frame_selection.h"
#include "driver/run_settings.h"
#include "driver/script_reader.h"
#include "imageio/bmp_writer.h"
#include "registration/coarse_translation.h"
#include "registration/global_adjustment.h"

namespace {

// Aligned frames are renamed into place without an fsync of their own: it cost more than the
// 5 % of a frame's time allowed (the composite files and shift.lst are synced).
constexpr bool kSyncAlignedFrames = false;

void printBanner() {
    std::printf("**************************************\n");
    std::printf("****        Kalvorine v2.1        ****\n");
    std::printf("****        24 Avril 2002         ****\n");
    std::printf("**************************************\n");
    std::printf("****        Portage Linux         ****\n");
    std::printf("**************************************\n");
    std::printf("\n");
}

// A frame of width or height 0 holds nothing to register, yet its turned bounding box can
// be huge (a 0 x 65535 frame turned by 45 degrees covers 46341 x 46341 pixels). Says so,
// continuing the loading line, and returns true for such a frame.
bool reportEmpty(const Image& im) {
    if (im.pixels != nullptr) return false;
    std::printf("Erreur : image vide (%i x %i pixels), rien a aligner\n", im.width, im.height);
    return true;
}

void loadReference(CameraRun& camera) {
    RunSettings& s = settings;
    if (s.referenceName.empty()) {
        std::printf("Erreur : pas d'image de reference\n");
        fatalStop();
    }
    // Registration against an image that could not be read would compare nothing.
    DeepImage deep;   // a video's first frame
    if (loadSourceFrame(s.reference, deep, s.referenceName.c_str(), 0, camera) != kFrameLoaded) fatalStop();
    if (reportEmpty(s.reference)) fatalStop();
    s.reference.x0 = s.referenceX0Given == 1 ? s.referenceX0 : s.reference.width / 2;
    s.reference.y0 = s.referenceY0Given == 1 ? s.referenceY0 : s.reference.height / 2;
    if (camera.stacking) camera.stack = startDeepStack(s.reference, deep);
}

// One run at a time in a folder: a second one would mix its shift.lst lines and outputs with
// the first one's. The lock is taken on the folder itself (no lock file is left behind) and
// held until every output is in place; a folder that cannot be opened goes without it.
void lockFolder() {
    RunSettings& s = settings;
    s.runLock = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.runLock >= 0 && ::flock(s.runLock, LOCK_EX | LOCK_NB) != 0) {
        std::printf("Erreur : une autre execution de Kalvorine travaille deja dans ce dossier\n");
        fatalStop();
    }
}

void openShiftLog() {
    RunSettings& s = settings;
    if (openOutput(s.shiftLogFile, "shift.lst") == OutputOpen::opened) {
        s.shiftLog = s.shiftLogFile.file;
    } else {
        std::printf("Attention : impossible de creer le fichier shift.lst, les decalages ne seront pas enregistres\n");
    }
}

void closeShiftLog() {
    RunSettings& s = settings;
    if (s.shiftLog == nullptr) return;
    s.shiftLog = nullptr;
    if (!commitOutput(s.shiftLogFile, true)) {
        std::printf("Erreur : ecriture incomplete du fichier shift.lst (disque plein ?)\n");
    }
}

// affinage.lst: one line per refined frame (number, angle in degrees, shift, residual).
void openRefinementLog() {
    RunSettings& s = settings;
    if (s.subpixelRefinement == 0) return;
    const OutputOpen r = openOutput(s.refinementLogFile, "affinage.lst");
    if (r == OutputOpen::opened) {
        s.refinementLog = s.refinementLogFile.file;
    } else {
        std::printf(
            "Attention : impossible de creer le fichier affinage.lst (%s), les valeurs affinees ne seront pas "
            "enregistrees\n",
            outputOpenError(r));
    }
}

void logRefinement(int i) {
    RunSettings& s = settings;
    if (!s.refinedThisFrame || s.refinementLog == nullptr) return;
    std::fprintf(s.refinementLog, "%i %.6f %.4f %.4f %.3f%s\n", i, s.refinedAngle * 180.0 * kInversePi, s.refinedShiftX,
                 s.refinedShiftY, s.refinedResidual, s.refinedFailed ? "  Non affine" : "");
}

void closeRefinementLog() {
    RunSettings& s = settings;
    if (s.refinementLog == nullptr) return;
    s.refinementLog = nullptr;
    if (!commitOutput(s.refinementLogFile, true)) {
        std::printf("Erreur : ecriture incomplete du fichier affinage.lst (disque plein ?)\n");
    }
}

// A failed allocation: says what was being done, then the fatal stop.
[[noreturn]] void outOfMemory(const char* doing) {
    std::printf("\nErreur : memoire insuffisante %s\n", doing);
    fatalStop();
}

// The composite accumulator is kept for the composite files ("Compositage"), for its raw
// sums ("Sommes"), or for both.
bool accumulating() { return !settings.compositeName.empty() || !settings.sumsName.empty(); }

// The raw sums first: writing the composite files releases the accumulator.
void finishAccumulator() {
    RunSettings& s = settings;
    if (!s.sumsName.empty()) saveCompositeSums();
    if (!s.compositeName.empty()) finishComposite();
    std::vector<CompositeCell>().swap(s.compositeSums);
}

void processImage(int i, CameraRun& camera, BlockReference& blockReference, const RunStages& stages) {
    RunSettings& s = settings;
    std::printf("\n**************************************************\n");
    std::printf("Traitement de l'image %i (%s)\n", i, s.sourceNames[i].c_str());
    DeepImage deep;   // the frame at full depth, kept for the deep stack
    if (loadSourceFrame(s.current, deep, s.sourceNames[i].c_str(), s.sourceFrames[i], camera) != kFrameLoaded ||
        reportEmpty(s.current)) {
        return;
    }
    const std::int32_t imageStart = processorTicks();
    s.current.x0 = s.sourceX0Given[i] != 0 ? s.sourceX0[i] : s.reference.x0;
    s.current.y0 = s.sourceY0Given[i] != 0 ? s.sourceY0[i] : s.reference.y0;
    const char* doing = "pendant l'ajustement global";
    try {
        s.refinedThisFrame = false;
        RigidGeometry rigid;
        BlockDeformation blocks;
        if (s.angleMin < s.angleMax || s.angleMin > s.angleMax) {
            stages.globalAdjustment(&rigid);
        } else {
            stages.coarseTranslationSearch(&rigid);
        }
        logRefinement(i);
        if (s.current.pixels == nullptr) return;   // too large once aligned: reported, skipped
        doing = "pendant l'ajustage par blocs";
        if (s.blockGridWidth > 0) {
            // The reference is final once frames are registered: its block view is made once.
            if (blockReference.features.pixels == nullptr) blockReference = makeBlockReference(s.reference);
            stages.runBlockStage(&blocks, &blockReference);
        }
        std::printf("Temps total de calcul pour l'image: %u secondes\n",
                    unsigned(processorSeconds() - imageStart / 1000000));
        doing = "pendant la sauvegarde";
        saveBmp(s.current, s.resultNames[i].c_str(), kSyncAlignedFrames);
        doing = "pendant le compositage";
        if (accumulating()) {
            stages.addToComposite(s.current);
            ++s.framesAdded;
        }
        doing = "pendant l'empilement";
        stackAlignedFrame(camera, deep, rigid, s.blockGridWidth > 0 ? &blocks : nullptr, s.current);
    } catch (const std::bad_alloc&) {
        outOfMemory(doing);
    } catch (const std::length_error&) {
        outOfMemory(doing);
    }
    releasePixels(s.current);
}

// The first pass of a run asking for a selection or a built reference: every listed frame
// ranked, the ranking written to qualite.lst. Without either, an empty ranking: every frame used.
FrameRanking rankListedFrames() {
    const RunSettings& s = settings;
    if (s.selectionPercent == 0 && s.referenceAutoCount == 0) return FrameRanking{};
    const std::int32_t percent = s.selectionPercent != 0 ? s.selectionPercent : 100;
    try {
        FrameRanking ranking = rankFrames(s.imageCount, percent, s.selectionPercent != 0);
        writeRanking(ranking, "qualite.lst");
        return ranking;
    } catch (const std::exception&) {
        outOfMemory("pendant la mesure de la qualite des images");
    }
}

}   // namespace

int runKalvorine(int argc, char** argv, const RunStages& stages) {
    RunSettings& s = settings;
    if (argc < 2) {
        s.scriptFileName = "ScriptKalvorine2.txt";
        s.skipFinalPause = 0;
    } else {
        s.scriptFileName = argv[1];
        s.skipFinalPause = 1;
        if (argc > 2) {
            std::printf("Trop de fichiers : seul le premier fichier pourra \x90tre traite\n");
            std::printf("Veuillez faire un script pour lancer plusieurs fois Kalvorine\n");
        }
    }
    printBanner();
    const std::int32_t startSeconds = processorSeconds();
    removeTemporaryOutputsOnSignals();
    lockFolder();
    readScript();
    CameraRun camera;
    camera.stacking = !s.deepStackName.empty();
    const FrameRanking ranking = rankListedFrames();
    try {
        if (s.referenceAutoCount > 0) {
            buildReference(ranking, s.referenceAutoCount, camera, stages);
        } else {
            loadReference(camera);
        }
        if (accumulating()) startComposite();
    } catch (const std::exception&) {
        outOfMemory("pendant le chargement de la reference");
    }
    openShiftLog();
    openRefinementLog();
    BlockReference blockReference;
    for (int i = 1; i <= s.imageCount; ++i) {
        if (!ranking.kept.empty() && ranking.kept[std::size_t(i)] == 0) {
            reportSetAside(ranking, i);
        } else {
            processImage(i, camera, blockReference, stages);
        }
    }
    closeShiftLog();
    closeRefinementLog();
    // The composite is the average of the frames stacked.
    if (!ranking.kept.empty()) s.imageCount = ranking.keptCount;
    try {
        if (camera.stacking) writeDeepStack(camera.stack, s.deepStackName);
    } catch (const std::exception&) {
        outOfMemory("pendant l'ecriture de l'empilement");
    }
    try {
        finishAccumulator();
    } catch (const std::exception&) {
        outOfMemory("pendant l'ecriture de l'image compositee");
    }

    releasePixels(s.reference);
    releasePixels(blockReference.features);
    s.referenceName.clear();
    s.sourceNames.clear();
    s.resultNames.clear();
    s.sourceFrames.clear();
    std::printf("\nTemps pour l'ensemble du calcul: %u secondes\n", unsigned(processorSeconds() - startSeconds));
    std::printf("Fin de l'execution de Kalvorine\n");
    ::close(s.runLock);   // every output is in place: another run may use the folder
    s.runLock = -1;
    if (s.skipFinalPause == 0) {
        std::printf("Appuyez sur entree pour quitter\n");
        std::fflush(stdout);
        std::getc(stdin);
    }
    return 0;
}
