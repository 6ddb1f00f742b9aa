#include <malloc.h>

#include "driver/run_driver.h"

int main(int argc, char** argv) {
    // Every image of a run has about the same size: keep freed buffers for the next one
    // rather than returning them to the system and faulting fresh pages in again.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return runKalvorine(argc, argv);
}
