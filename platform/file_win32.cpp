#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/file.hpp"

namespace oscset::platform {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

WholeFile read_whole_file(const char* path, std::size_t limit) {
    WholeFile file;
    struct _stat64 about {};
    if (_stat64(path, &about) == 0 && (about.st_mode & _S_IFDIR) != 0) {
        file.error = EISDIR;
        return file;
    }
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(path, "rb"));
    if (!handle) {
        file.error = errno != 0 ? errno : ENOENT;
        return file;
    }
    file.bytes.resize(limit + 1);
    const std::size_t held = std::fread(file.bytes.data(), 1, file.bytes.size(), handle.get());
    if (std::ferror(handle.get())) {
        file.error = errno != 0 ? errno : EIO;
        file.bytes.clear();
        return file;
    }
    file.over_limit = held > limit;
    file.bytes.resize(held > limit ? limit : held);
    return file;
}

bool path_exists(const char* path) {
    struct _stat64 about {};
    return _stat64(path, &about) == 0;
}

}  // namespace oscset::platform
