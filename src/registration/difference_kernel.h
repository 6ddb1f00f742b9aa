// The difference measure computed exactly in integers, with an early exit.
//
// Words, as this module and the searches built on it use them (one meaning each):
//   measure    imageDifference(a, b): the mean over the overlap of the pixel pairs' terms.
//   overlap    the pixels of a and b that meet once their reference points are laid on each
//              other; a pair is one pixel of a with the pixel of b it meets.
//   unit       2^-31: every term is a whole number of units (DifferenceUnits).
//   valid      a pixel whose validity byte is not 0; an invalid row holds no valid pixel and
//              is never read (InvalidRows).
//   whole      of rows or of an image: every pixel valid, so that the validity bytes need
//              not be read (wholeRows, aWholeRows, bWhole, referenceWhole). Nothing else.
//   bound      the value a candidate's measure must beat (the best so far); its threshold is
//              the same bound in units for an overlap's size. A sum that reaches the threshold
//              proves the measure at least the bound: the candidate is pruned.
//   boundsOnly sums that may fall short of the exact ones (lower bounds), for pruning only.
//   phase      a set of rows summed together between two looks at the threshold.
//   sample     the (turned, reduced) current frame; a candidate is the sample at one shift
//              of the grid, and its window the part of the reference under it.
//   integer    of a shift, offset or step: a whole number of pixels.
//
// Every term of the measure is a multiple of 2^-31 in both programs: s is an integer, the
// quadratic part s*s*(1/255) is (in the extended program exactly, in the SSE program after
// its single-precision rounding) a multiple of the float 1/255's last place, 2^-31, and so is
// the single-precision half penalty. While the exact sum stays below 2^64 such units the
// extended-precision accumulator of imageDifference rounds nothing, so an exact integer sum,
// taken in any order, gives the very same value; beyond that the sequential sum is
// recomputed as imageDifference takes it.
//
// Terms are never negative, so once the running sum proves the mean cannot fall below a
// bound, the rest of the overlap need not be read. Rows are visited in a strided order
// (every 32nd row first, then the rows halfway between, ...) so that the first rows read
// stand for the whole overlap.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/image.h"
#include "common/precision.h"

using DifferenceUnits = unsigned __int128;   // multiples of 2^-31

// Whether sums taken for a lower bound only (ScanOptions::boundsOnly, rowsUnits with boundsOnly)
// can fall short of the exact ones: in the SSE program, where they are cheaper.
inline constexpr bool kBoundsOnlyDiffer = kSseBuild;

struct BoundedDifference {
    bool pruned = false;   // the measure is at least the bound; value not computed
    Extended value = 0;    // imageDifference(a, b), bit for bit, when not pruned
};

// Rows of an image known to hold no valid pixel (a rotated sample's odd rows): flag per row.
// The rows flagged are never read, so their bytes need not even be set.
using InvalidRows = const std::uint8_t*;

// What a scan may assume and how it sums, given once when it is made (every field optional).
struct ScanOptions {
    InvalidRows aInvalid = nullptr;   // a's rows known to hold no valid pixel
    // a's rows in the order to visit them (a permutation of 0 .. a.height - 1, the most telling
    // rows first): phase 0 is its first 32nd, phase 1 the rest.
    const std::int32_t* aRowOrder = nullptr;
    const std::uint8_t* aWholeRows = nullptr;   // per row of a, non-zero when all its pixels are valid
    bool bWhole = false;                        // every pixel of b is valid
    // The sums are lower bounds of the exact ones, good for pruning only: the SSE program then
    // sums s*s rather than its rounded quadratic parts. A total reached this way must be taken
    // again exactly before its value is used (kBoundsOnlyDiffer).
    bool boundsOnly = false;
};

// One placement of a against b: the overlap imageDifference compares.
class DifferenceScan {
public:
    static constexpr int kMaxPhases = 32;

    DifferenceScan(const Image& a, const Image& b, const ScanOptions& options = {});

    bool empty() const { return rowLength_ <= 0 || rows_ <= 0; }

    // How many rows of a's order make phase 0 of a scan given one (a has height rows).
    static std::int64_t orderedFirstRows(std::int64_t height) { return std::max<std::int64_t>(1, height / 32); }
    std::int64_t pairs() const { return rows_ * rowLength_; }

    // The sum of every row meets this many units when the measure is at least bound.
    DifferenceUnits threshold(float bound) const;

    // Rows are visited in phases: phase p holds every phases()-th row from a bit-reversed
    // start, so that phase 0 already samples the whole overlap. Fewer phases for short overlaps.
    int phases() const { return phases_; }

    // Adds the rows of phase p (0 .. phases()-1) to total. Returns false,
    // leaving the sum partial, as soon as total reaches threshold.
    bool addPhase(int p, DifferenceUnits& total, DifferenceUnits threshold) const;

    // Adds overlap row r alone; false when total then reaches threshold.
    bool addRow(std::int64_t r, DifferenceUnits& total, DifferenceUnits threshold) const;
    std::int64_t rows() const { return rows_; }
    std::int64_t aFirstRow() const { return aRowStart_; }    // a's row of overlap row 0
    std::int64_t aFirstColumn() const { return aColumn_; }   // a's column of each row's first pair

    // addRow with a's pixels taken from aRow (a's whole row r + aFirstRow()) rather than from
    // a's buffer, which may then be absent: a row built just for this sum.
    bool addRowFrom(std::int64_t r, const std::uint8_t* aRow, DifferenceUnits& total, DifferenceUnits threshold) const;
    std::int64_t bFirstRow() const { return bRow_; }   // b's row of overlap row 0

    // Adds all phases from p on; false as soon as total reaches threshold.
    bool addPhasesFrom(int p, DifferenceUnits& total, DifferenceUnits threshold) const;

    // The measure from the complete sum of the overlap.
    Extended value(DifferenceUnits total, const Image& a, const Image& b) const;

    // The same rounded to single precision, without the sequential recomputation whenever the
    // rounding of a sum past 2^64 units cannot change it.
    float singleValue(DifferenceUnits total, const Image& a, const Image& b) const;

    // singleValue from the sum alone; false when only the sequential recomputation, which
    // reads a and b, can tell.
    bool singleFromUnits(DifferenceUnits total, float& value) const;

    // The lowest and the highest single-precision measure that an exact sum between low and
    // high units can give, the sequential sum's roundings past 2^64 units included.
    void singleRange(DifferenceUnits low, DifferenceUnits high, float& lowest, float& highest) const;

private:
    const std::uint8_t* a_ = nullptr;
    const std::uint8_t* b_ = nullptr;
    std::size_t aStride_ = 0, bStride_ = 0;
    std::int64_t rowLength_ = 0, rows_ = 0, bRow_ = 0, aRowStart_ = 0, aColumn_ = 0;
    int phases_ = 1;
    const std::int32_t* order_ = nullptr;   // a's rows in visiting order
    std::int64_t orderCount_ = 0, orderSplit_ = 0, aRow_ = 0;

    // The placement alone: overlap, first pixels, strides, invalid rows.
    void place(const Image& a, const Image& b, InvalidRows aInvalid);
    bool addOrdered(std::int64_t from, std::int64_t to, DifferenceUnits& total, DifferenceUnits threshold) const;
    const std::uint8_t* aWholeRows_ = nullptr;   // indexed by a's row
    bool bWhole_ = false;
    bool boundsOnly_ = false;
    InvalidRows aInvalid_ = nullptr;       // indexed by overlap row
    InvalidRows aInvalidBase_ = nullptr;   // indexed by a's row
};

// The units of `rows` rows of `length` pairs, the rows of a aStep bytes apart and those of b
// bStep bytes apart (whole-number penalty only: see exactUnitsAvailable); whole when every
// pixel of those rows is known valid on both sides; boundsOnly when a lower bound will do (see
// ScanOptions::boundsOnly).
DifferenceUnits rowsUnits(const std::uint8_t* a, std::size_t aStep, const std::uint8_t* b, std::size_t bStep,
                          std::int64_t length, std::int64_t rows, bool whole = false, bool boundsOnly = false);

// rowsUnits of the same rows of a against count windows of b (each window the first pixel of
// its rows), into out[0 .. count).
void windowUnits(const std::uint8_t* a, std::size_t aStep, const std::uint8_t* const* windows, std::size_t bStep,
                 std::int64_t length, std::int64_t rows, std::int64_t count, bool whole, bool boundsOnly,
                 DifferenceUnits* out);

// The same for rows given one by one: a's rows aRows[r] against rows windows[i] +
// bRowOffsets[r] of each window, r < rowCount.
void windowListUnits(const std::uint8_t* const* aRows, const std::size_t* bRowOffsets, int rowCount,
                     const std::uint8_t* const* windows, std::int64_t length, std::int64_t count, bool whole,
                     bool boundsOnly, DifferenceUnits* out);

// True when rows firstRow, firstRow + rowStep, ... (rowCount of them) of im hold valid
// pixels only.
bool wholeRows(const Image& im, std::int32_t firstRow, std::int32_t rowCount, std::int32_t rowStep = 1);

// DifferenceScan::threshold for an overlap of `pairs` pairs.
DifferenceUnits unitsThreshold(float bound, std::int64_t pairs);

// False when the half penalty is not a whole number of units (a changed mismatchPenalty):
// then only imageDifference itself gives the measure exactly.
bool exactUnitsAvailable();

// imageDifference(a, b), or pruned when it is certainly at least bound (an infinite bound
// never prunes).
BoundedDifference boundedImageDifference(const Image& a, const Image& b, float bound, InvalidRows aInvalid = nullptr);
