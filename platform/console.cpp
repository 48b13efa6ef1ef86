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

namespace {

std::string format_text_v(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length < 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    return text;
}

}  // namespace

std::string format_text(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = format_text_v(format, args);
    va_end(args);
    return text;
}

void console_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = format_text_v(format, args);
    va_end(args);
    console_write(text);
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
