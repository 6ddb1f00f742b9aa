// Small writers of camera files for tests: SER videos with any colour identifier, depth and
// byte order, and FITS images built card by card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SerVideo {
    std::int32_t colourId = 0;     // 0 mono, 8..11 Bayer, 100 RGB, 101 BGR
    std::int32_t depth = 8;        // PixelDepthPerPlane
    bool littleEndian = true;      // byte order of the 16-bit samples as written
    std::int32_t endianFlag = 1;   // the header's LittleEndian field as written
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t announced = -1;                      // FrameCount; -1: the number of frames given
    std::vector<std::vector<std::uint16_t>> frames;   // width * height * planes samples, top row first
    bool timestamps = false;                          // 8 bytes a frame after the frames
};

std::vector<std::uint8_t> serBytes(const SerVideo& video);

// A primary FITS image: NAXIS1 = width, NAXIS2 = height and, when planes > 0, NAXIS3 =
// planes; values in file order (plane, then rows from the first stored, the bottom one),
// encoded for bitpix (16 with BZERO 32768: unsigned). Extra cards are added as they are
// (80 characters each, padded).
std::vector<std::uint8_t> fitsBytes(std::int32_t bitpix, std::int32_t width, std::int32_t height, std::int32_t planes,
                                    const std::vector<double>& values, const std::vector<std::string>& extraCards = {});
