// Runs one of the built programs as a user would, in a given working folder: standard input
// from a string, standard output on a pipe (a file-size limit then applies to the files the
// program writes and not to its console), standard error (sanitizer reports) kept, limits,
// and a wall-clock guard that kills a run that never ends instead of blocking the suite.
#pragma once

#include <sys/types.h>

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
    std::string out;     // standard output
    std::string err;     // standard error: sanitizer reports, nothing else expected
    int exitCode = -1;   // when it exited normally
    int signal = 0;      // when a signal ended it (SIGABRT for the fatal stop)
    bool hung = false;   // killed by the guard
    bool aborted() const;
    bool exitedWith(int code) const { return !hung && signal == 0 && exitCode == code; }
};

struct RunOptions {
    std::string input;             // given on standard input, then end of file
    long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes (SIGXFSZ ignored), -1 for none
    long addressSpaceLimit = -1;   // RLIMIT_AS in bytes, -1 for none
    int hangSeconds = 300;         // killed after this long: far beyond any run of the tests
};

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const RunOptions& options = {});

// Starts the program in workDir with standard input closed and standard output in
// outputFile, without waiting for it.
pid_t startProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::filesystem::path& workDir, const std::filesystem::path& outputFile);

// The digits of the processor-time lines replaced by '#', so that runs compare exactly.
std::string maskTimes(const std::string& out);

// The fatal stop's two lines, as the last output of a run.
inline constexpr const char* kFatalLines = "Erreur fatale, appuyez sur entree.\nFatal error. Press return.\n";

inline bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
