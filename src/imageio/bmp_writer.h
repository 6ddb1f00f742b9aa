#pragma once

#include "common/image.h"

// Writes the image as an uncompressed 24-bit bottom-up BMP file (validity dropped) and
// completes the console line with " FIN". On failure the line ends with an error text
// instead, no partial file is left, and the result is false.
bool saveBmp(const Image& image, const char* path);
