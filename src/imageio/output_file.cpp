#include "imageio/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The temporary files of the open outputs, for the signal handlers: fixed slots of plain
// characters, claimed and released through an atomic state, so that a handler reads no slot
// while it is being filled.
constexpr int kTemporarySlots = 64;
constexpr std::size_t kSlotPathSize = 4096;
struct TemporarySlot {
    std::atomic<int> state{0};   // 0 free, 1 being filled or emptied, 2 holds a path
    char path[kSlotPathSize];
};
TemporarySlot temporarySlots[kTemporarySlots];

void rememberTemporary(const std::string& path) {
    if (path.size() >= kSlotPathSize) return;   // not removed by a signal, only by its owner
    for (TemporarySlot& slot : temporarySlots) {
        int expected = 0;
        if (!slot.state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.state.store(2);
        return;
    }
}

void forgetTemporary(const std::string& path) {
    for (TemporarySlot& slot : temporarySlots) {
        int expected = 2;
        if (slot.state.load() != 2 || std::strcmp(slot.path, path.c_str()) != 0) continue;
        if (slot.state.compare_exchange_strong(expected, 1)) slot.state.store(0);
        return;
    }
}

// The file a chain of symbolic links ends at (the path itself when it is no link); a link
// that leads nowhere gives the path it names, which is then created.
std::string followLinks(const char* path) {
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info;
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
        std::vector<char> target(std::size_t(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
        if (n <= 0 || std::size_t(n) >= target.size()) return at;
        const std::string next(target.data(), std::size_t(n));
        const std::size_t slash = at.rfind('/');
        at = next[0] == '/' || slash == std::string::npos ? next : at.substr(0, slash + 1) + next;
    }
    return at;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A new temporary file beside path, with the mode the destination has (or would get);
// -1 when it cannot be created.
int createTemporary(const std::string& path, const struct stat* existing, std::string& temporary) {
    static constexpr char kSuffix[] = ".kalvorine-tmp";
    std::vector<std::string> names = {path + ".XXXXXX" + kSuffix};
    // A name too long for a suffix: a short name in the same folder.
    names.push_back(folderOf(path) + (path.rfind('/') == std::string::npos ? "/" : "") + "kalvorine-XXXXXX" + kSuffix);
    for (const std::string& name : names) {
        std::vector<char> pattern(name.begin(), name.end());
        pattern.push_back('\0');
        const int fd = ::mkstemps(pattern.data(), int(sizeof kSuffix - 1));
        if (fd < 0) {
            if (errno == ENAMETOOLONG) continue;
            return -1;
        }
        mode_t mode;
        if (existing != nullptr) {
            mode = existing->st_mode & 07777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        ::fchmod(fd, mode);
        temporary = pattern.data();
        return fd;
    }
    return -1;
}

extern "C" void removeAndResignal(int signal) {
    removeTemporaryOutputs();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}   // namespace

OutputOpen openOutput(OutputFile& out, const char* path) {
    out = OutputFile{};
    struct stat info;
    const bool exists = ::stat(path, &info) == 0;
    if (!exists && errno == ENAMETOOLONG) return OutputOpen::failed;
    if (exists && S_ISDIR(info.st_mode)) return OutputOpen::folder;
    const std::string target = followLinks(path);
    struct stat targetInfo;
    // A regular file that can be replaced by a rename is the one the links lead to. Anything
    // else (a device, a FIFO, a terminal, or a file reached through a link of the system's
    // own that names no path, such as /proc/self/fd/N of a deleted file) is written in
    // sequence where it is, never replaced.
    if (exists && (!S_ISREG(info.st_mode) || ::stat(target.c_str(), &targetInfo) != 0 ||
                   targetInfo.st_dev != info.st_dev || targetInfo.st_ino != info.st_ino)) {
        out.file = std::fopen(path, "wb");
        if (out.file == nullptr) return OutputOpen::failed;
        out.path = path;
        return OutputOpen::opened;
    }
    // SIGINT and SIGTERM wait while the temporary file exists unregistered (the workers of the
    // pool never take them: see common/parallel.cpp).
    sigset_t stopping, before;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopping, &before);
    std::string temporary;
    const int fd = createTemporary(target, exists ? &info : nullptr, temporary);
    if (fd >= 0) rememberTemporary(temporary);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) return OutputOpen::failed;
    out.file = ::fdopen(fd, "wb");
    if (out.file == nullptr) {
        ::close(fd);
        ::unlink(temporary.c_str());
        forgetTemporary(temporary);
        return OutputOpen::failed;
    }
    out.path = target;
    out.temporary = temporary;
    return OutputOpen::opened;
}

bool commitOutput(OutputFile& out, bool durable) {
    if (out.file == nullptr) return false;
    bool ok = std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
    if (ok && durable && !out.temporary.empty()) ok = ::fsync(::fileno(out.file)) == 0;
    if (std::fclose(out.file) != 0) ok = false;
    out.file = nullptr;
    if (!out.temporary.empty()) {
        if (ok) ok = std::rename(out.temporary.c_str(), out.path.c_str()) == 0;
        if (!ok) ::unlink(out.temporary.c_str());
        forgetTemporary(out.temporary);
        out.temporary.clear();
    }
    return ok;
}

void discardOutput(OutputFile& out) {
    if (out.file != nullptr) std::fclose(out.file);
    out.file = nullptr;
    if (!out.temporary.empty()) {
        ::unlink(out.temporary.c_str());
        forgetTemporary(out.temporary);
        out.temporary.clear();
    }
}

const char* outputOpenError(OutputOpen why) {
    return why == OutputOpen::folder ? "ERREUR : c'est un dossier, pas un fichier"
                                     : "ERREUR : impossible de creer le fichier";
}

void removeTemporaryOutputs() {
    for (TemporarySlot& slot : temporarySlots) {
        if (slot.state.load() == 2) ::unlink(slot.path);
    }
}

void removeTemporaryOutputsOnSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = removeAndResignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}
