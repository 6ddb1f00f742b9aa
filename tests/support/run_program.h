// Runs one of the built programs as a user would, in a given working folder.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

// One of the built programs, for the tests that run both.
struct Program {
    const char* name;
    const char* path;
    bool sse = false;   // kalvorine-sse
};
inline void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

struct RunResult {
    std::string out;        // everything printed on standard output
    int exitCode = -1;      // when it exited normally
    int signal = 0;         // when a signal ended it (SIGABRT for the fatal stop)
    bool aborted() const;
    bool exitedWith(int code) const { return signal == 0 && exitCode == code; }
};

struct RunOptions {
    std::string input;              // given on standard input, then end of file
    long fileSizeLimit = -1;        // RLIMIT_FSIZE in bytes (SIGXFSZ ignored), -1 for none
};

// What a forked child sets up before it becomes the program: its folder, its standard
// streams (a file for standard input, or none; a descriptor or a file for the output ones),
// and its limits. For the callers that fork themselves.
struct ChildSetup {
    std::filesystem::path workDir;
    std::filesystem::path input;          // empty: standard input closed
    std::filesystem::path outputFile;     // used when outputFd < 0; empty: unchanged
    int outputFd = -1;
    int errorFd = -1;                     // -1: unchanged
    long fileSizeLimit = -1;              // RLIMIT_FSIZE in bytes (SIGXFSZ ignored), -1 for none
    long addressSpaceLimit = -1;          // RLIMIT_AS in bytes, -1 for none
};

// In a forked child: sets up as told and executes the program; never returns.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup);

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const RunOptions& options = {});

// The digits of the processor-time lines replaced by '#', so that runs compare exactly.
std::string maskTimes(const std::string& out);
