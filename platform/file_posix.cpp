#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.hpp"

namespace oscset::platform {
namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

constexpr std::size_t READ_STEP = 64 * 1024;

}  // namespace

WholeFile read_whole_file(const char* path, std::size_t limit) {
    WholeFile file;
    // Without O_NONBLOCK a FIFO's open waits for a writer, for ever if none comes.
    const Descriptor d{::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat about {};
    if (d.fd < 0 || ::fstat(d.fd, &about) != 0) {
        file.error = errno;
        return file;
    }
    if (S_ISDIR(about.st_mode)) {
        file.error = EISDIR;
        return file;
    }
    // A pipe's writer may still be writing: wait for its data, not for a writer that never came
    // (a FIFO without one reads as empty).
    const int flags = ::fcntl(d.fd, F_GETFL);
    if (flags < 0 || ::fcntl(d.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        file.error = errno;
        return file;
    }
    std::size_t held = 0;
    for (;;) {
        const std::size_t room = limit + 1 - held;  // one byte beyond the limit tells it is over
        file.bytes.resize(held + (room < READ_STEP ? room : READ_STEP));
        const ssize_t got = ::read(d.fd, file.bytes.data() + held, file.bytes.size() - held);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            file.error = errno;
            file.bytes.clear();
            return file;
        }
        held += static_cast<std::size_t>(got);
        if (got == 0 || held > limit) {
            break;
        }
    }
    file.over_limit = held > limit;
    file.bytes.resize(held > limit ? limit : held);
    return file;
}

bool path_exists(const char* path) {
    struct stat about {};
    return ::lstat(path, &about) == 0;
}

}  // namespace oscset::platform
