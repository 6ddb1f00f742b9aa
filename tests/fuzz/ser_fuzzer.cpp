// libFuzzer target: the SER reader through the frame-source layer on arbitrary bytes
// (see camera_fuzz.h for what must hold).
#include "camera_fuzz.h"

namespace {

MemoryFile input;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceStdout();
    input = makeMemoryFile("in.ser");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzCameraFile(input, data, size);
    return 0;
}
