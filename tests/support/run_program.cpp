#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <stdexcept>

#include "support/test_images.h"

namespace {

// In a forked child: takes its standard streams (standard input closed when in < 0, standard
// error left when err == -2), folder and limits, and becomes the program; never returns.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& args,
                              const std::filesystem::path& workDir, int in, int out, int err,
                              const RunOptions& options) {
    if (out < 0 || err == -1 || chdir(workDir.c_str()) != 0) _exit(127);
    if (in < 0) close(0);
    if (in >= 0) dup2(in, 0);
    dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    signal(SIGXFSZ, SIG_IGN);   // a write beyond the file-size limit fails instead
    for (const auto& [resource, value] :
         {std::pair{RLIMIT_FSIZE, options.fileSizeLimit}, std::pair{RLIMIT_AS, options.addressSpaceLimit}}) {
        const rlimit limit{rlim_t(value), rlim_t(value)};
        if (value >= 0) setrlimit(resource, &limit);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}   // namespace

bool RunResult::aborted() const { return !hung && signal == SIGABRT; }

// Standard error goes to a file: under a file-size limit a report is cut short, but not lost.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workDir, const RunOptions& options) {
    TempDir io;
    writeText(io / "stdin", options.input);
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0)
        execProgram(program, args, workDir, open((io / "stdin").c_str(), O_RDONLY), outPipe[1],
                    open((io / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), options);
    close(outPipe[1]);
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.hangSeconds);
    for (pollfd fd{outPipe[0], POLLIN, 0};;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.hung = true;
            kill(pid, SIGKILL);
            break;
        }
        char buffer[65536];
        if (poll(&fd, 1, int(std::min<long long>(left.count(), 1000))) <= 0) continue;
        const ssize_t n = read(fd.fd, buffer, sizeof buffer);
        if (n <= 0) break;
        result.out.append(buffer, std::size_t(n));
    }
    close(outPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.err = readText(io / "stderr");
    return result;
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::filesystem::path& workDir, const std::filesystem::path& outputFile) {
    const pid_t pid = fork();
    if (pid == 0)
        execProgram(program, args, workDir, -1, open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), -2, {});
    return pid;
}

std::string maskTimes(const std::string& out) {
    static const std::regex times(
        R"((Temps total de calcul pour l'image: |Temps pour l'ensemble du calcul: |\(Temps Phase1 : )[0-9]+)");
    return std::regex_replace(out, times, "$1#");
}
