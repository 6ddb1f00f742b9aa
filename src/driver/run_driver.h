#pragma once

#include "blocks/block_stage.h"
#include "common/image.h"
#include "composite/composite.h"
#include "registration/coarse_translation.h"
#include "registration/global_adjustment.h"

// The stages a run calls for each frame. A program runs its own; the benchmark's baseline
// programs hand in the straightforward versions of the same stages.
struct RunStages {
    void (*globalAdjustment)(RigidGeometry* found) = ::globalAdjustment;
    void (*coarseTranslationSearch)(RigidGeometry* found) = ::coarseTranslationSearch;
    void (*runBlockStage)(BlockDeformation* found, const BlockReference* prepared) = ::runBlockStage;
    void (*addToComposite)(const Image& image) = ::addToComposite;
};

// One complete job, as started from the command line: banner, script, reference, every
// source image, composite, times. Returns 0; fatal errors end the process.
int runKalvorine(int argc, char** argv, const RunStages& stages = RunStages{});
