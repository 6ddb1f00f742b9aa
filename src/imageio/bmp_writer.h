#pragma once

#include "common/image.h"

// Writes the image as an uncompressed 24-bit bottom-up BMP file (validity dropped) and
// completes the console line with " FIN". On failure the line ends with an error text
// instead, no partial file is left, and the result is false. An image larger than the
// reader accepts (65,535 pixels a side, 2^28 in all) is refused before anything is created.
bool saveBmp(const Image& image, const char* path);
