#pragma once

#include "common/image.h"

// Writes the image as an uncompressed 24-bit bottom-up BMP file (validity dropped) and
// completes the console line with " FIN". On failure the line ends with an error text
// instead, the destination keeps its earlier content, and the result is false (the file goes
// through openOutput: a temporary file renamed over the destination once complete; with
// durable, synced to disk first). An image larger than the reader accepts (65,535 pixels a
// side, 2^28 in all) is refused before anything is created.
bool saveBmp(const Image& image, const char* path, bool durable = true);
