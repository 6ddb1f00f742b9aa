#pragma once

// One complete job, as started from the command line: banner, script, reference, every
// source image, composite, times. Returns 0; fatal errors end the process.
int runKalvorine(int argc, char** argv);
