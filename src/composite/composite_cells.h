// The composite's loops over every cell (addToComposite is declared in composite.h). They
// sit apart so that the benchmark's plain programs can put the straightforward loops in
// their place.
#pragma once

#include "common/image.h"

// Fills out (reference width x height, allocated) with the average of
// settings.compositeSums over settings.imageCount images: each sum times the single-precision
// reciprocal, truncated, its low 8 bits; validity 255.
void averageComposite(Image& out);
