#pragma once

#include "common/image.h"

// Allocates settings.compositeSums over the reference grid, every sum 0.
void startComposite();

// Adds the image, laid on the reference grid by the reference points and weighted by
// its validity bytes, into settings.compositeSums.
void addToComposite(const Image& image);

// Writes the red, green and blue FITS files and the averaged BMP, then releases the
// accumulator.
void finishComposite();
