#include "driver/fatal_stop.h"

#include <cstdio>
#include <cstdlib>

void fatalStop() {
    std::printf("Erreur fatale, appuyez sur entree.\n");
    std::printf("Fatal error. Press return.\n");
    std::fflush(stdout);   // the abort below would lose buffered output
    std::getc(stdin);
    std::abort();
}
