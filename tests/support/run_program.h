// Runs one of the built programs as a user would, in a given working folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

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

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const RunOptions& options = {});

// The digits of the processor-time lines replaced by '#', so that runs compare exactly.
std::string maskTimes(const std::string& out);
