#pragma once
// The program's console: every message of every layer is printed here, where the failure is found.

#include <cstdint>
#include <string>
#include <string_view>

namespace oscset::platform {

#if defined(__MINGW32__)
// The C++ runtime formats with mingw's own C99 printf, not the system's.
#define OSCSET_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define OSCSET_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define OSCSET_PRINTF_FORMAT(f, a)
#endif

// Formats like printf and writes the text to the console (standard output unless a
// ConsoleCapture is active). Flushes at once: progress marks carry no line end.
void console_printf(const char* format, ...) OSCSET_PRINTF_FORMAT(1, 2);
void console_write(std::string_view text);
// The same formatting into a string of whatever length it takes.
std::string format_text(const char* format, ...) OSCSET_PRINTF_FORMAT(1, 2);

// While alive, console text is collected here instead of going to standard output.
// Safe to use while worker threads print; captures nest and the newest one wins.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string text() const;
    void clear();

  private:
    friend void console_write(std::string_view text);
    ConsoleCapture* previous_;
    std::string text_;
};

}  // namespace oscset::platform
