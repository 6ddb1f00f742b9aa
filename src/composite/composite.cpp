#include "composite/composite.h"

#include <cstdio>
#include <string>

#include "composite/composite_cells.h"
#include "composite/sums_file.h"
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
    writeCompositeFiles(s.compositeName.substr(0, s.compositeName.find('.')));
}

bool writeCompositeFiles(const std::string& base) {
    RunSettings& s = settings;
    bool ok = writeFitsChannel((base + "R.fit").c_str(), 2);
    ok = writeFitsChannel((base + "V.fit").c_str(), 1) && ok;
    ok = writeFitsChannel((base + "B.fit").c_str(), 0) && ok;

    Image& out = s.composite;
    out.width = s.reference.width;
    out.height = s.reference.height;
    out.x0 = s.reference.x0;
    out.y0 = s.reference.y0;
    out.pixels = allocatePixels(out.width, out.height);
    averageComposite(out);
    std::vector<CompositeCell>().swap(s.compositeSums);
    ok = saveBmp(out, (base + ".bmp").c_str()) && ok;
    releasePixels(out);
    return ok;
}

bool saveCompositeSums() {
    const RunSettings& s = settings;
    std::printf("Sauvegarde des sommes du compositage : %s\n", s.sumsName.c_str());
    SumsHeader header;
    header.reference = identifyReference(s.reference, s.referenceName);
    header.framesListed = s.imageCount;
    header.framesAdded = s.framesAdded;
    header.runs = 1;
    return writeSumsFile(s.sumsName.c_str(), header, s.compositeSums);
}
