#include "tests/support/temp_file.hpp"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace oscset::testing {

TempFile::TempFile(const std::vector<std::uint8_t>& bytes) {
    static std::atomic<int> serial{0};
    const auto folder = std::filesystem::temp_directory_path();
    // Test programs run side by side: each process names its files from a random tag of its own.
    static const unsigned tag = std::random_device{}();
    path_ =
        (folder / ("oscset-test-" + std::to_string(tag) + "-" + std::to_string(serial++) + ".bin"))
            .string();
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path_);
    }
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
}

std::string test_data(const char* name) {
    return std::string(OSCSET_TEST_DATA) + "/" + name;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

}  // namespace oscset::testing
