#pragma once

// Single-angle registration: a translation search on eighth-size copies narrows the
// range, then globalAdjustment searches the narrowed window and aligns the image.
struct RigidGeometry;
void coarseTranslationSearch(RigidGeometry* found = nullptr);
