#pragma once
// Standard input for a test: a temporary file holding the given text, closed at scope end.

#include <cstdio>
#include <string_view>

namespace oscset::testing {

class InputFile {
  public:
    explicit InputFile(std::string_view text);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::FILE* get() const { return file_; }

  private:
    std::FILE* file_;
};

}  // namespace oscset::testing
