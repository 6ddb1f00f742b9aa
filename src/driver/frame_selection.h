// Lucky imaging: a first pass that measures the sharpness of every listed frame, the choice of
// the sharpest ones, and a reference built from the sharpest frames registered and averaged.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/camera_frames.h"
#include "driver/run_driver.h"

// The outcome of the first pass over frames 1 .. count of the run's list. Only the scores are
// kept: each frame is released once measured.
struct FrameRanking {
    std::vector<double> quality;      // index 1 .. count (0 unused); 0 for an unreadable frame
    std::vector<std::int32_t> rank;   // 1 = sharpest; 0: the frame could not be read
    std::vector<std::uint8_t> kept;   // 1: registered and stacked; 0: set aside
    std::vector<std::int32_t> best;   // the readable frames, sharpest first (ties: script order)
    std::int32_t keptCount = 0;       // the frames kept: max(1, percent x readable / 100, truncated)
    double threshold = 0;             // quality of the last frame kept
};

// Loads, measures and releases every frame of the list in script order, one console line
// each with the pass's progress stars, then keeps the best `percent` percent (1 .. 100) of
// the readable frames, at least one, and prints the threshold (when `percent` is below 100
// or `announce` is set). Unreadable frames are reported by the loader and set aside.
FrameRanking rankFrames(std::int32_t count, std::int32_t percent, bool announce);

// Writes the ranking file: one line per listed frame in script order, "number file quality
// rank retenue|ecartee" ("illisible" and rank 0 for a frame that could not be read). Reports
// a failure on the console; false then.
bool writeRanking(const FrameRanking& ranking, const char* path);

// The console block of a frame the selection set aside, in place of its processing.
void reportSetAside(const FrameRanking& ranking, std::int32_t i);

// Builds settings.reference from the `count` sharpest readable frames (all of them, with a
// message, when fewer are readable): the sharpest is the provisional reference, each of the
// others is registered on it with the script's rotation and translation settings, and the
// reference becomes their average weighted by validity (validity 0 where no frame is valid).
// Writes it as reference_auto.bmp; with a deep stack asked for, also the frames at full depth
// as reference_auto.fit and .png, and starts camera's stack over the reference. Frames are
// read through camera (the first sets its view scale). Must run before shift.lst is opened:
// the registrations it makes are logged nowhere. No readable frame: a message and the fatal
// stop. The frames are registered by the stages given.
void buildReference(const FrameRanking& ranking, std::int32_t count, CameraRun& camera, const RunStages& stages);
