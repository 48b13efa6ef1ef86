#pragma once
// What a test gives the program from outside: standard input (a temporary file holding the
// given text, closed at scope end) and environment variables.

#include <cstdio>
#include <string>
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

// Sets the variable for this process, or removes it when `value` is empty.
void set_environment(const char* name, const std::string& value);

}  // namespace oscset::testing
