#include "driver/fatal_stop.h"

#include <cstdio>
#include <cstdlib>

#include "driver/run_settings.h"
#include "imageio/output_file.h"

void fatalStop() {
    // What the run wrote stays: shift.lst keeps the lines of the frames done; an output left
    // half-written is dropped.
    if (settings.shiftLog != nullptr && settings.shiftLog == settings.shiftLogFile.file) {
        settings.shiftLog = nullptr;
        commitOutput(settings.shiftLogFile, true);
    }
    removeTemporaryOutputs();
    std::printf("Erreur fatale, appuyez sur entree.\n");
    std::printf("Fatal error. Press return.\n");
    std::fflush(stdout);   // the abort below would lose buffered output
    std::getc(stdin);
    std::abort();
}
