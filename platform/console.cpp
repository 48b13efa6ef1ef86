#include "platform/console.hpp"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace oscset::platform {
namespace {

std::mutex console_mutex;
ConsoleCapture* active_capture = nullptr;

}  // namespace

void console_write(std::string_view text) {
    std::lock_guard lock(console_mutex);
    if (active_capture != nullptr) {
        active_capture->text_.append(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void console_printf(const char* format, ...) {
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        va_end(again);
        console_write(std::string_view(small, static_cast<std::size_t>(length)));
        return;
    }
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.pop_back();
    console_write(large);
}

ConsoleCapture::ConsoleCapture() {
    std::lock_guard lock(console_mutex);
    previous_ = active_capture;
    active_capture = this;
}

ConsoleCapture::~ConsoleCapture() {
    std::lock_guard lock(console_mutex);
    active_capture = previous_;
}

std::string ConsoleCapture::text() const {
    std::lock_guard lock(console_mutex);
    return text_;
}

void ConsoleCapture::clear() {
    std::lock_guard lock(console_mutex);
    text_.clear();
}

}  // namespace oscset::platform
