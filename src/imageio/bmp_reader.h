#pragma once

#include "common/image.h"

// Results of loadBmp.
constexpr int kBmpLoaded = 0;      // pixels, width and height set
constexpr int kBmpNotOpened = 1;   // the file does not open; image untouched
constexpr int kBmpUnusable = 2;    // reported: header or pixel data unusable; image untouched

// Loads an uncompressed 24-bit BMP file (8-bit files give an all-invalid image) into
// image.pixels, width and height; x0 and y0 are not touched. A compressed file, an
// unsupported depth and a failed allocation end the process through fatalStop. A file too
// short for the rows its header announces (8-bit files included) is reported unusable.
int loadBmp(Image& image, const char* path);
