#include "imageio/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

std::FILE* openForRewrite(const char* path) {
    struct stat info;
    if (::stat(path, &info) == 0 && S_ISREG(info.st_mode)) {
        if (std::FILE* file = std::fopen(path, "r+b")) return file;
    }
    return std::fopen(path, "wb");
}

bool closeRewritten(std::FILE* file) {
    bool ok = std::fflush(file) == 0 && std::ferror(file) == 0;
    const long end = std::ftell(file);
    struct stat info;
    if (ok && ::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > end) {
        ok = end >= 0 && ::ftruncate(::fileno(file), end) == 0;
    }
    if (std::fclose(file) != 0) ok = false;
    return ok;
}
