// The translation search shared by the global adjustment and the coarse translation search.
#pragma once

#include <cstdint>
#include <vector>

#include "common/image.h"
#include "registration/difference_kernel.h"
#include "registration/ordered_search.h"

// Shifts xMin, xMin + step, ... (columns of them, outer) by yMin, yMin + step, ... (rows,
// inner).
struct ShiftGrid {
    std::int64_t xMin = 0, yMin = 0, step = 1;
    std::int64_t columns = 0, rows = 0;
    std::int64_t count() const { return columns * rows; }
    std::int32_t shiftX(std::int64_t i) const { return std::int32_t(xMin + i / rows * step); }
    std::int32_t shiftY(std::int64_t i) const { return std::int32_t(yMin + i % rows * step); }
};

// The grid of a loop "from min while <= max, adding step" in each direction.
ShiftGrid shiftGrid(std::int32_t xMin, std::int32_t xMax, std::int32_t yMin, std::int32_t yMax, std::int32_t step);

// The shift the plain loop would keep: the sample with its reference point moved by each
// shift of the grid is measured against the reference, and a shift is kept when it scores
// strictly lower than the best so far (starting from best). Candidates are first scored on
// a few rows and then finished best first, so that a tight bound prunes the others early.
// referenceWhole: every pixel of the reference is known valid.
SearchOutcome searchShifts(const Image& sample, InvalidRows sampleInvalid, const Image& reference,
                           const ShiftGrid& grid, float best, const std::int32_t* sampleRowOrder = nullptr,
                           bool referenceWhole = false);

// One sample of a search over several: its pixels, its rows known invalid, and the order in
// which to visit its rows (each optional).
struct SearchSample {
    const Image* image = nullptr;
    InvalidRows invalid = nullptr;
    const std::int32_t* rowOrder = nullptr;
    const std::uint8_t* wholeRows = nullptr;   // per row, non-zero when all its pixels are valid
};

// The same search over several samples: candidate i is sample i / grid.count() with shift
// i % grid.count(), samples outer. All candidates share one bound, so every sample's
// candidates are pruned against the best of all of them from the start.
SearchOutcome searchSampleShifts(const std::vector<SearchSample>& samples, const Image& reference,
                                 const ShiftGrid& grid, float best, bool referenceWhole = false);

// The rows of a sample, the most textured first (rows flagged invalid last): an order in
// which a losing candidate's sum reaches the bound soonest.
std::vector<std::int32_t> texturedRowOrder(const Image& sample, InvalidRows sampleInvalid);
