#include "support/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "support/test_images.h"

bool RunResult::aborted() const { return signal == SIGABRT; }

void execProgram(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup) {
    const int in = setup.input.empty() ? -1 : open(setup.input.c_str(), O_RDONLY);
    const int out = setup.outputFd >= 0        ? setup.outputFd
                    : setup.outputFile.empty() ? 1
                                               : open(setup.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if ((!setup.input.empty() && in < 0) || out < 0 || chdir(setup.workDir.c_str()) != 0) _exit(127);
    if (in >= 0) {
        dup2(in, 0);
    } else {
        close(0);
    }
    dup2(out, 1);
    if (setup.errorFd >= 0) dup2(setup.errorFd, 2);
    if (setup.fileSizeLimit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{rlim_t(setup.fileSizeLimit), rlim_t(setup.fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (setup.addressSpaceLimit >= 0) {
        const rlimit limit{rlim_t(setup.addressSpaceLimit), rlim_t(setup.addressSpaceLimit)};
        setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const RunOptions& options) {
    TempDir io;
    const std::filesystem::path inPath = io / "stdin", outPath = io / "stdout";
    writeText(inPath, options.input);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ChildSetup setup;
        setup.workDir = workDir;
        setup.input = inPath;
        setup.outputFile = outPath;
        setup.fileSizeLimit = options.fileSizeLimit;
        execProgram(program, args, setup);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult result;
    result.out = readText(outPath);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string maskTimes(const std::string& out) {
    static const std::regex times(
        R"((Temps total de calcul pour l'image: |Temps pour l'ensemble du calcul: |\(Temps Phase1 : )[0-9]+)");
    return std::regex_replace(out, times, "$1#");
}
