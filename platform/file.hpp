#pragma once
// Reading a whole file: a regular file, a pipe (process substitution) or a FIFO, opened so that
// a FIFO without a writer cannot block the open.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oscset::platform {

struct WholeFile {
    int error = 0;  // errno of the failed open or read (EISDIR for a folder); 0 when read
    bool over_limit = false;          // more than the limit's bytes follow
    std::vector<std::uint8_t> bytes;  // at most the limit's
};

WholeFile read_whole_file(const char* path, std::size_t limit);

// True when something (a file, a folder, a link even to nothing) stands at `path`.
bool path_exists(const char* path);

}  // namespace oscset::platform
