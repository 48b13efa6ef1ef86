#include "tests/support/input_file.hpp"

#include <cstdlib>
#include <stdexcept>

namespace oscset::testing {

InputFile::InputFile(std::string_view text) : file_(std::tmpfile()) {
    if (file_ == nullptr) {
        throw std::runtime_error("no temporary file for standard input");
    }
    std::fwrite(text.data(), 1, text.size(), file_);
    std::rewind(file_);
}

InputFile::~InputFile() {
    std::fclose(file_);
}

void set_environment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

}  // namespace oscset::testing
