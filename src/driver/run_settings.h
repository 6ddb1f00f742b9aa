// The one process-wide record of a run: script parameters, name tables, images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/image.h"
#include "imageio/output_file.h"

constexpr int kImageSlots = 30000;   // index 0 unused: images 1 .. 29999
constexpr int kMaxImages = kImageSlots - 1;

// A table of kImageSlots entries, each empty (or 0) until written, that holds only as many
// as have been reached: a run of a few images does not build thirty thousand of them.
template <typename T>
class SlotTable {
public:
    T& operator[](std::size_t k) {
        if (k >= items_.size()) items_.resize(k + 1);
        return items_[k];
    }
    const T& operator[](std::size_t k) const { return k < items_.size() ? items_[k] : empty_; }
    void clear() { std::vector<T>().swap(items_); }   // every entry empty again, memory released

private:
    std::vector<T> items_;
    static inline const T empty_{};
};

struct CompositeCell {
    std::uint32_t sum[3];   // channel 0 (blue), 1 (green), 2 (red)
};

struct RunSettings {
    // Script parameters (reset to their defaults by readScript).
    float angleMin = 0;           // radians: first rotation tried
    float angleMax = 0;           // radians: upper bound of the rotation loop
    float angleStep = 0;          // radians: angular resolution of the refinement
    std::int32_t shiftXMin = 0;   // global translation range, pixels, inclusive
    std::int32_t shiftXMax = 0;
    std::int32_t shiftYMin = 0;
    std::int32_t shiftYMax = 0;
    std::int32_t shiftStep = 0;          // step of both translation loops
    std::int32_t blockGridWidth = 0;     // block grid spacing; block stage runs when > 0
    std::int32_t blockSearchWidth = 0;   // half-size of a block (side 2*S + 1)
    std::int32_t blockShiftXMin = 0;     // block shift range, pixels
    std::int32_t blockShiftXMax = 0;
    std::int32_t blockShiftYMin = 0;
    std::int32_t blockShiftYMax = 0;
    float blockShiftStep = 0;               // block shift step, fractions allowed
    std::int32_t freeOutputSize = 0;        // "Dimension Libre"; read by nothing
    std::int32_t skipFinalPause = 0;        // 1: no wait for Enter at the end (not reset)
    std::int32_t translationFraction = 0;   // single-angle sample is 1/n of each side
    std::string scriptFileName;             // not reset

    // Sub-pixel refinement ("Affinage 0|1"): after the whole-pixel search, angle and shift are
    // refined jointly and the frame resampled with them; each frame's values go to affinage.lst.
    std::int32_t subpixelRefinement = 0;   // 1: on
    std::FILE* refinementLog = nullptr;    // "affinage.lst"; null when not open
    OutputFile refinementLogFile;          // the output behind refinementLog
    bool refinedThisFrame = false;         // the frame in hand was refined: the four fields below hold its values
    double refinedAngle = 0;               // radians
    double refinedShiftX = 0;              // pixels
    double refinedShiftY = 0;
    double refinedResidual = 0;   // grey levels, RMS over the pixels compared
    bool refinedFailed = false;   // the refinement failed: the whole-pixel values were kept
    // Lucky imaging (0: not asked): a first pass ranks the frames by sharpness.
    std::int32_t selectionPercent = 0;     // "Selection P": only the sharpest P percent are stacked
    std::int32_t referenceAutoCount = 0;   // "ReferenceAuto N": reference averaged from the N sharpest

    // Name tables and per-image reference points, indices 1 .. imageCount (not reset).
    // An empty name is an empty slot: the tokeniser never yields an empty token.
    SlotTable<std::string> sourceNames;
    SlotTable<std::string> resultNames;
    std::string referenceName;   // empty: no reference given
    std::string compositeName;   // empty: no composite (not reset)
    std::int32_t imageCount = 0;
    std::int32_t referenceX0 = 0;   // reference point from the "Reference" line
    std::int32_t referenceY0 = 0;
    std::int32_t referenceX0Given = 0;
    std::int32_t referenceY0Given = 0;
    SlotTable<std::int32_t> sourceX0;
    SlotTable<std::int32_t> sourceY0;
    SlotTable<std::int32_t> sourceX0Given;
    SlotTable<std::int32_t> sourceY0Given;

    // Camera files (SER videos, FITS files and cubes), filled by "Sequence" and "Empilement".
    SlotTable<std::int64_t> sourceFrames;   // frame of the source file, 0 first (0 for other lines)
    std::string deepStackName;              // empty: no deep stack (not reset)

    // Run state.
    std::FILE* shiftLog = nullptr;   // "shift.lst"; null when it could not be created
    OutputFile shiftLogFile;         // the output behind shiftLog, renamed into place at the end
    int runLock = -1;                // descriptor holding the folder's run lock; -1: none
    Image reference;
    Image current;
    Image composite;
    std::vector<CompositeCell> compositeSums;   // reference width x height cells

    // Raw composite sums ("Sommes"): the accumulator written as it stands at the end of the
    // run, for kalvorine-merge. compositeSums exists when compositeName or sumsName is set.
    std::string sumsName;           // empty: no raw sums file (not reset)
    std::int32_t framesAdded = 0;   // frames added to compositeSums so far
};

extern RunSettings settings;    // the one instance
extern float mismatchPenalty;   // term of a pair with an invalid pixel: 0.5 x this

// Back to the process-start state (releases the pixel buffers it holds); for tests and
// for in-process fuzzing, which run several jobs in one process.
void resetRunSettings();
