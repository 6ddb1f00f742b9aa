// Runs a built program as a user would, like tests/support/run_program.h, but with standard
// output and standard error on pipes and a wall-clock guard: a file-size limit then applies
// to the files the program writes and not to its console, sanitizer reports are seen, and a
// run that never ends is killed and reported instead of blocking the suite.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct GuardedOptions {
    std::string input;             // given on standard input, then end of file
    long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes (SIGXFSZ ignored), -1 for none
    int hangSeconds = 300;         // killed after this long: far beyond any run of the tests
};

struct GuardedResult {
    std::string out;               // standard output
    std::string err;               // standard error: sanitizer reports, nothing else expected
    int exitCode = -1;             // when it exited normally
    int signal = 0;                // when a signal ended it (SIGABRT for the fatal stop)
    bool hung = false;             // killed by the guard
    bool exitedWith(int code) const { return !hung && signal == 0 && exitCode == code; }
    bool aborted() const;
};

GuardedResult runGuarded(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir, const GuardedOptions& options = {});

// The fatal stop's two lines, as the last output of a run.
inline constexpr const char* kFatalLines = "Erreur fatale, appuyez sur entree.\nFatal error. Press return.\n";

bool endsWith(const std::string& text, const std::string& tail);

// Every regular file under dir (relative path -> bytes), to prove that a run left the
// files it was not meant to touch as they were.
std::vector<std::pair<std::string, std::string>> snapshotFiles(const std::filesystem::path& dir);
