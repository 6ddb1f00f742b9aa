// Shared pieces of the in-process fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file held in memory (memfd) that the code under test opens by name: no disk traffic
// between inputs.
struct MemoryFile {
    int fd = -1;
    std::string path;   // "/proc/self/fd/N"
};
MemoryFile makeMemoryFile(const char* name);
void setContents(const MemoryFile& file, const std::uint8_t* data, std::size_t size);
long long sizeOf(const MemoryFile& file);

// Aborts with "broken invariant: what" on standard error unless condition holds.
void check(bool condition, const char* what);

// The code prints a great deal; the fuzzers drop standard output.
void silenceStdout();

// The fatal stop leaves the file it was reading open, as the real program does before it
// aborts. The fuzz executables are linked with --wrap=fopen,--wrap=fclose so that streams
// opened by the code under test are counted; this closes those still open and returns how
// many there were.
int closeStreamsLeftOpen();
