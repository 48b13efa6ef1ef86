#pragma once
// A file of the test's own, removed at scope end; and the folder of the real test data.

#include <cstdint>
#include <string>
#include <vector>

namespace oscset::testing {

class TempFile {
  public:
    explicit TempFile(const std::vector<std::uint8_t>& bytes);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

// A file of tests/data, by name.
std::string test_data(const char* name);
std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace oscset::testing
