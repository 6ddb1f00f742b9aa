// The fatal stop of the fuzzing build: in-process fuzz targets must survive the stops that
// end the real program, so fatalStop (fatal_stop_throw.cpp) throws this instead of waiting
// for a key and aborting.
#pragma once

struct FatalStopReached {};
