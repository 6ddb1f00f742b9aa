// libFuzzer target: the BMP reader on arbitrary bytes, then the BMP writer on whatever it
// accepted. The reader must load, report (image untouched) or reach the fatal stop; an
// accepted image must honour the size limits, hold no more pixels than the file could
// describe, and be written back as a file of exactly the announced size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/image.h"
#include "driver/run_settings.h"
#include "fatal_stop_throw.h"
#include "fuzz_support.h"
#include "imageio/bmp_reader.h"
#include "imageio/bmp_writer.h"

namespace {

MemoryFile input;
MemoryFile output;

}   // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceStdout();
    input = makeMemoryFile("in.bmp");
    output = makeMemoryFile("out.bmp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setContents(input, data, size);
    Image im;
    im.width = 7;   // must survive every refusal
    im.height = 5;
    bool stopped = false;
    int result = -1;
    try {
        result = loadBmp(im, input.path.c_str());
    } catch (const FatalStopReached&) {
        stopped = true;
    }
    const int leftOpen = closeStreamsLeftOpen();
    check(leftOpen == (stopped ? 1 : 0), "the file is closed unless the fatal stop was reached");
    if (stopped) {
        check(im.pixels == nullptr && im.width == 7 && im.height == 5, "the fatal stop leaves the image untouched");
        return 0;
    }
    check(result == kBmpLoaded || result == kBmpUnusable, "an existing file is loaded or reported unusable");
    if (result != kBmpLoaded) {
        check(im.pixels == nullptr && im.width == 7 && im.height == 5, "a refused file leaves the image untouched");
        return 0;
    }
    check(im.width >= 0 && im.height >= 0, "sizes are not negative");
    check(im.width <= kMaxImageSide && im.height <= kMaxImageSide, "each side within 65535");
    check(std::int64_t(im.width) * im.height <= kMaxImagePixels, "at most 2^28 pixels");
    check((im.pixels != nullptr) == (pixelBytes(im.width, im.height) != 0),
          "pixels exactly when the size is not empty");
    // Every pixel comes from (or, for 8-bit files, is announced by) a byte of the file.
    check(std::int64_t(im.width) * im.height <= std::int64_t(size), "no more pixels than bytes in the file");
    for (std::size_t i = 0; i < pixelBytes(im.width, im.height); i += kBytesPerPixel)
        check(im.pixels[i + 3] == 0 || im.pixels[i + 3] == 255, "validity is 0 or 255");

    const bool saved = saveBmp(im, output.path.c_str());
    check(closeStreamsLeftOpen() == 0, "the writer closes its file");
    check(saved, "an in-memory file can always be written");
    const std::int64_t rowSize = ((3 * std::int64_t(im.width) - 1) / 4) * 4 + 4;
    check(sizeOf(output) == 54 + rowSize * im.height, "the written file has the size of its header and rows");
    releasePixels(im);
    return 0;
}
