#include "tests/support/input_file.hpp"

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

}  // namespace oscset::testing
