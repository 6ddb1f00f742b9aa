#include <malloc.h>

#include <cstdio>
#include <new>

#include "driver/fatal_stop.h"
#include "driver/run_driver.h"

int main(int argc, char** argv) {
    // Every image of a run has about the same size: keep freed buffers for the next one
    // rather than returning them to the system and faulting fresh pages in again.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    // The stages report a failed allocation with what they were doing; anything that still
    // comes this far ends the same way, never as an uncaught exception.
    try {
        return runKalvorine(argc, argv);
    } catch (const std::bad_alloc&) {
        std::printf("\nErreur : memoire insuffisante\n");
    } catch (const std::exception& e) {
        std::printf("\nErreur : %s\n", e.what());
    }
    fatalStop();
}
