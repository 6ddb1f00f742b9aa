#include "driver/camera_frames.h"

#include <cstdio>
#include <new>

namespace {

int loadAndView(Image& image, DeepImage& deep, const char* path, std::int64_t index, CameraRun& run) {
    const int result = loadFrame(path, index, image, deep);
    if (result != kFrameLoaded) return result;
    if (deep.channels == 0) {
        if (run.stacking && image.pixels != nullptr) deep = deepOf(image);
        return result;
    }
    float maximum = 255;
    if (deep.range > 255) {
        if (run.viewMaximum == 0) {
            run.viewMaximum = largestSample(deep);
            std::printf("Vues 8 bits : la valeur %.0f donne 255\n", double(run.viewMaximum));
        }
        maximum = run.viewMaximum;
    }
    Image view = viewOf(deep, maximum);
    image.pixels = view.pixels;
    image.width = view.width;
    image.height = view.height;
    if (!run.stacking) deep = DeepImage{};
    return result;
}

}   // namespace

int loadSourceFrame(Image& image, DeepImage& deep, const char* path, std::int64_t index, CameraRun& run) {
    // A frame too large for the memory left is reported like an unusable file.
    try {
        return loadAndView(image, deep, path, index, run);
    } catch (const std::bad_alloc&) {
        releasePixels(image);
        deep = DeepImage{};
        std::printf("Erreur : pas assez de memoire pour l'image\n");
        return kFrameUnusable;
    }
}

void stackAlignedFrame(CameraRun& run, const DeepImage& deep, const RigidGeometry& rigid,
                       const BlockDeformation* blocks, const Image& aligned) {
    if (!run.stacking || deep.channels == 0) return;
    DeepImage moved = rotateAndShiftDeep(deep, rigid, aligned);
    if (blocks != nullptr) moved = deformDeep(moved, *blocks);
    addToDeepStack(run.stack, moved, aligned.x0, aligned.y0);
}
