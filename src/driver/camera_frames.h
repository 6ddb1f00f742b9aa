// The run driver's side of camera files: frames loaded through the frame-source layer with
// their 8-bit views, and the deep stack fed with the geometry each view was aligned with.
#pragma once

#include <cstdint>

#include "blocks/block_stage.h"
#include "composite/deep_stack.h"
#include "imageio/frame_source.h"
#include "registration/global_adjustment.h"

struct CameraRun {
    float viewMaximum = 0;   // the sample shown as 255 in the views of deep frames; 0: not yet known
    bool stacking = false;   // an "Empilement" was asked for
    DeepStack stack;
};

// loadFrame, then for a SER or FITS frame its 8-bit view into image (deep keeps the full
// depth). 8-bit data are shown as they are; deeper data scaled by the largest sample of
// the first such frame of the run (the reference's), said once. With stacking, a BMP
// frame's deep copy goes to deep as well.
int loadSourceFrame(Image& image, DeepImage& deep, const char* path, std::int64_t index, CameraRun& run);

// Moves the deep frame by the geometry of its aligned view (rigid, then the block grid
// when blocks ran) and adds it to the stack.
void stackAlignedFrame(CameraRun& run, const DeepImage& deep, const RigidGeometry& rigid,
                       const BlockDeformation* blocks, const Image& aligned);
