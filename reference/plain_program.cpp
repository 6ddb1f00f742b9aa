// Entry points of the plain programs (kalvorine-plain, kalvorine-sse-plain): the run driver
// of src/ given the straightforward registration and block stages and composite loop, the
// baseline the benchmark measures the program against. The files are read and written by
// the program's own loops.
#include "driver/run_driver.h"
#include "reference/plain.h"

// The allocator is left to its defaults, as the program first had it.
int main(int argc, char** argv) {
    RunStages stages;
    stages.globalAdjustment = plain::globalAdjustment;
    stages.coarseTranslationSearch = plain::coarseTranslationSearch;
    stages.runBlockStage = [](BlockDeformation* found, const BlockReference*) { plain::runBlockStage(found); };
    stages.addToComposite = plain::addToComposite;
    return runKalvorine(argc, argv, stages);
}
