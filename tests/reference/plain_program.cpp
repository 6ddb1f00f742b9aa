// Entry points of the plain programs (kalvorine-plain, kalvorine-sse-plain): the run driver
// of src/ with the straightforward registration and block stages and per-pixel loops of
// the files and the composite, for the benchmark.
#include "composite/composite.h"
#include "composite/composite_cells.h"
#include "imageio/pixel_rows.h"
#include "driver/run_driver.h"
#include "reference/plain.h"

void globalAdjustment(RigidGeometry* found) { plain::globalAdjustment(found); }
void coarseTranslationSearch(RigidGeometry* found) { plain::coarseTranslationSearch(found); }
void runBlockStage(BlockDeformation* found) { plain::runBlockStage(found); }
bool readBmpRows(std::FILE* file, std::int64_t rowSize, std::int32_t width, std::int32_t height, bool topDown,
                 std::uint8_t* pixels) {
    return plain::readBmpRows(file, rowSize, width, height, topDown, pixels);
}
bool writeBmpRows(std::FILE* file, const Image& image, std::int64_t rowSize) {
    return plain::writeBmpRows(file, image, rowSize);
}
void writeFitsRows(int channel, char* data) { plain::writeFitsRows(channel, data); }
void addToComposite(const Image& im) { plain::addToComposite(im); }
void averageComposite(Image& out) { plain::averageComposite(out); }

// As the program first had it: the allocator left to its defaults.
int main(int argc, char** argv) { return runKalvorine(argc, argv); }
