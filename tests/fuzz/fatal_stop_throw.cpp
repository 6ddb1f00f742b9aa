// fatalStop for the libFuzzer build (KAL_FUZZ): prints the same two lines as the program's
// own stop, then throws FatalStopReached for the fuzz target to catch. Nothing is read from
// standard input and the process goes on with the next input.
#include "driver/fatal_stop.h"

#include <cstdio>

#include "fuzz_support.h"

void fatalStop() {
    std::printf("Erreur fatale, appuyez sur entree.\n");
    std::printf("Fatal error. Press return.\n");
    throw FatalStopReached{};
}
