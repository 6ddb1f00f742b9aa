#pragma once

#include <string>

#include "common/image.h"

// Allocates settings.compositeSums over the reference grid, every sum 0.
void startComposite();

// Adds the image, laid on the reference grid by the reference points and weighted by
// its validity bytes, into settings.compositeSums.
void addToComposite(const Image& image);

// Writes the red, green and blue FITS files and the averaged BMP, then releases the
// accumulator.
void finishComposite();

// Fills out (reference width x height, allocated) with the average of
// settings.compositeSums over settings.imageCount images: each sum times the single-precision
// reciprocal, truncated, its low 8 bits; validity 255.
void averageComposite(Image& out);

// Writes the red, green and blue FITS files and the averaged BMP of settings.compositeSums
// (settings.imageCount frames listed) under base followed by "R.fit", "V.fit", "B.fit" and
// ".bmp", then releases the accumulator. false when any of them could not be written.
bool writeCompositeFiles(const std::string& base);

// Writes settings.compositeSums, the run's frame counts and the reference's identity to
// settings.sumsName (the "Sommes" command), saying so on the console. The accumulator stays.
bool saveCompositeSums();
