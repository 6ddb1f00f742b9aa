// The raw composite accumulator as a FITS file: the 32-bit channel sums of every cell, the
// number of frames listed and added, and what identifies the reference they were laid on.
// Files of runs over parts of a sequence add up (kalvorine-merge) to the accumulator of one
// run over the whole sequence.
//
// Layout: one primary HDU, BITPIX 32 with BZERO 2147483648 (unsigned sums), NAXIS1 x NAXIS2
// the reference width x height, bottom row first as in the 16-bit composite files, NAXIS3 = 3
// planes: red, green, blue sums. KALKIND names the kind of accumulator the HDU holds
// ('COMPOSITE'); other kinds of accumulator are to follow as IMAGE extensions with a KALKIND
// of their own, which a reader that does not know them refuses. DATASUM and CHECKSUM (the
// FITS checksum convention) let a damaged file be told from a good one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/image.h"
#include "driver/run_settings.h"

// A frame adds at most 255 to a sum: up to this many frames added, no sum passes 32 bits.
constexpr std::int64_t kMaxSummedFrames = 0xFFFFFFFFll / 255;

struct ReferenceIdentity {
    std::string name;   // file name without its folders, printable ASCII, at most 60 bytes
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t x0 = 0;   // reference point
    std::int32_t y0 = 0;
    std::uint64_t checksum = 0;   // FNV-1a (64 bits) of the colour bytes, top row first
};

struct SumsHeader {
    ReferenceIdentity reference;
    std::int64_t framesListed = 0;   // source frames the script(s) listed: the average divides by this
    std::int64_t framesAdded = 0;    // frames added to the sums
    std::int64_t runs = 0;           // runs whose sums these are
};

// The identity of a loaded reference image named (as in the script) name.
ReferenceIdentity identifyReference(const Image& reference, const std::string& name);

// Writes header and sums (reference width x height cells, top row first) to path through
// openOutput. Prints nothing unless the file cannot be written, in which case it says so,
// leaves no partial file and returns false.
bool writeSumsFile(const char* path, const SumsHeader& header, const std::vector<CompositeCell>& sums);

// Reads a file written by writeSumsFile. false, with why (French, without the file name),
// when it cannot be opened, is truncated or longer than its header says, has a header that
// is not of this layout, holds a kind of accumulator this reader does not know, fails its
// checksums, or holds a sum that its frames could not have made.
bool readSumsFile(const char* path, SumsHeader& header, std::vector<CompositeCell>& sums, std::string& why);

// The FITS checksum helpers: the ones' complement sum of big-endian 32-bit words (bytes a
// multiple of 4), two such sums added, and the 16-character encoding of the CHECKSUM card.
std::uint32_t onesComplementSum(const char* bytes, std::size_t size, std::uint32_t start = 0);
std::uint32_t addOnesComplement(std::uint32_t a, std::uint32_t b);
std::string encodeChecksum(std::uint32_t sum);
