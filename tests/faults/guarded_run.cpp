#include "guarded_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/run_program.h"
#include "support/test_images.h"

bool GuardedResult::aborted() const { return !hung && signal == SIGABRT; }

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

GuardedResult runGuarded(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workDir, const GuardedOptions& options) {
    TempDir io;
    const std::filesystem::path inPath = io / "stdin";
    writeText(inPath, options.input);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ChildSetup setup;
        setup.workDir = workDir;
        setup.input = inPath;
        setup.outputFd = outPipe[1];
        setup.errorFd = errPipe[1];
        setup.fileSizeLimit = options.fileSizeLimit;
        execProgram(program, args, setup);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    GuardedResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.hangSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.hung = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, int(std::min<long long>(left.count(), 1000))) < 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[k]->append(buffer, std::size_t(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::vector<std::pair<std::string, std::string>> snapshotFiles(const std::filesystem::path& dir) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        files.emplace_back(std::filesystem::relative(entry.path(), dir).string(), readText(entry.path()));
    }
    std::sort(files.begin(), files.end());
    return files;
}
