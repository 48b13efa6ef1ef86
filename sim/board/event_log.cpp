#include "sim/board/event_log.hpp"

#include <cstdarg>
#include <utility>

namespace oscset::sim {

void EventLog::add(const char* format, ...) {
    char text[256];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    add_line(text);
}

void EventLog::add_line(std::string line) {
    if (mirror_ != nullptr) {
        std::fputs(mirror_prefix_.c_str(), mirror_);
        std::fputs(line.c_str(), mirror_);
        std::fputc('\n', mirror_);
        std::fflush(mirror_);
    }
    lines_.push_back(std::move(line));
}

}  // namespace oscset::sim
