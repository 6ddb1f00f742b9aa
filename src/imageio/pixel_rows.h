// The loops of the file formats that touch every pixel: BMP rows in and out, FITS values
// out, vectorised, shared by the readers and writers of both formats.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/image.h"

// Reads height rows of rowSize bytes (3-byte pixels) from the file's position into 4-byte
// pixels with validity 255, bottom row first unless topDown. Only the fill of the last row
// may be missing; false when anything else is.
bool readBmpRows(std::FILE* file, std::int64_t rowSize, std::int32_t width, std::int32_t height, bool topDown,
                 std::uint8_t* pixels);

// Writes the image's rows, bottom first, as rows of rowSize bytes (3-byte pixels, then
// zero fill); false when a write fails.
bool writeBmpRows(std::FILE* file, const Image& image, std::int64_t rowSize);

// Channel `channel` of settings.compositeSums as the 16-bit big-endian values of a FITS
// image, bottom row first: reference width x height values from data on.
void writeFitsRows(int channel, char* data);
