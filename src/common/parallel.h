// A small pool of worker threads for the searches.
#pragma once

#include <cstdint>
#include <functional>

// Threads used by parallelFor, the caller included: every core by default.
int workerCount();

// Sets the number of threads (at least 1); 1 runs everything on the calling thread.
void setWorkerCount(int count);

// True on a thread that is running a parallelFor body.
bool insideParallelBody();

// Calls body(i) for every i in [0, count), spread over the workers, and returns when all
// calls are done. Calls made from inside a body run on the calling thread.
void parallelFor(std::int64_t count, const std::function<void(std::int64_t)>& body);
