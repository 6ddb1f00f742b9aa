// Entry points of the plain programs (kalvorine-plain, kalvorine-sse-plain): the run driver
// of src/ with the straightforward registration and block stages, for the benchmark.
#include "reference/plain.h"

void globalAdjustment() { plain::globalAdjustment(); }
void coarseTranslationSearch() { plain::coarseTranslationSearch(); }
void runBlockStage() { plain::runBlockStage(); }
