// Arbitrary bytes as a configuration file: the header parse and the block reads. Whatever
// the file holds, the reader returns a record or null, reads no more than its data, and
// leaks nothing.

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "jtag/config_file.hpp"
#include "platform/console.hpp"

using namespace oscset::jtag;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/oscset-fuzz-config-" + std::to_string(getpid()) + ".bit";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    oscset::platform::ConsoleCapture console;
    config_file_ptr file = config_file_open(path.c_str());
    if (!file) {
        const std::string said = console.text();
        if (!said.empty() && said.rfind("Unknown header ID ", 0) != 0) {
            std::abort();
        }
        return 0;
    }
    std::vector<std::uint8_t> block(4096);
    std::size_t total = 0;
    while (std::uint32_t got = config_file_read(*file, block.data(), 4096)) {
        if (got > 4096) {
            std::abort();
        }
        total += got;
    }
    if (total > size) {
        std::abort();
    }
    config_file_close(std::move(file));
    return 0;
}
