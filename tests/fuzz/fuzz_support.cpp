#include "fuzz_support.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

MemoryFile makeMemoryFile(const char* name) {
    MemoryFile file;
    file.fd = memfd_create(name, 0);
    if (file.fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    file.path = "/proc/self/fd/" + std::to_string(file.fd);
    return file;
}

void setContents(const MemoryFile& file, const std::uint8_t* data, std::size_t size) {
    if (ftruncate(file.fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(file.fd, data + done, size - done, off_t(done));
        if (n <= 0) std::abort();
        done += std::size_t(n);
    }
}

long long sizeOf(const MemoryFile& file) {
    struct stat st {};
    if (fstat(file.fd, &st) != 0) std::abort();
    return st.st_size;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

void silenceStdout() {
    // A stream that drops what it is given, so that no file or device is written.
    cookie_io_functions_t drop = {};
    drop.write = [](void*, const char*, std::size_t size) -> ssize_t { return ssize_t(size); };
    std::FILE* sink = fopencookie(nullptr, "w", drop);
    if (sink == nullptr) std::abort();
    std::fflush(stdout);
    stdout = sink;
}

// ---- streams opened by the code under test ------------------------------------------------

namespace {

constexpr int kMaxTracked = 64;
std::FILE* tracked[kMaxTracked];

}   // namespace

extern "C" std::FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_fclose(std::FILE* file);

extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
    std::FILE* file = __real_fopen(path, mode);
    if (file == nullptr) return nullptr;
    for (std::FILE*& slot : tracked) {
        if (slot == nullptr) {
            slot = file;
            return file;
        }
    }
    std::fprintf(stderr, "fuzz_support: more than %d streams open at once\n", kMaxTracked);
    std::abort();
}

extern "C" int __wrap_fclose(std::FILE* file) {
    for (std::FILE*& slot : tracked)
        if (slot == file) slot = nullptr;
    return __real_fclose(file);
}

int closeStreamsLeftOpen() {
    int count = 0;
    for (std::FILE*& slot : tracked) {
        if (slot != nullptr) {
            __real_fclose(slot);
            slot = nullptr;
            ++count;
        }
    }
    return count;
}
