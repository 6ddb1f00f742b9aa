#include "composite/composite.h"

#include <cstdio>
#include <string>

#include "composite/composite_cells.h"
#include "driver/run_settings.h"
#include "imageio/bmp_writer.h"
#include "imageio/fits_writer.h"

void startComposite() {
    const Image& ref = settings.reference;
    settings.compositeSums.assign(pixelBytes(ref.width, ref.height) / kBytesPerPixel, CompositeCell{{0, 0, 0}});
}

void finishComposite() {
    RunSettings& s = settings;
    std::printf("Sauvegarde de l'image compositee : %s\n", s.compositeName.c_str());
    const std::string base = s.compositeName.substr(0, s.compositeName.find('.'));
    writeFitsChannel((base + "R.fit").c_str(), 2);
    writeFitsChannel((base + "V.fit").c_str(), 1);
    writeFitsChannel((base + "B.fit").c_str(), 0);

    Image& out = s.composite;
    out.width = s.reference.width;
    out.height = s.reference.height;
    out.x0 = s.reference.x0;
    out.y0 = s.reference.y0;
    out.pixels = allocatePixels(out.width, out.height);
    averageComposite(out);
    std::vector<CompositeCell>().swap(s.compositeSums);
    saveBmp(out, (base + ".bmp").c_str());
    releasePixels(out);
}
