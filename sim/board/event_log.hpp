#pragma once
// What happened on the simulated board, one line per event, for tests and for the person
// trying the program without hardware.

#include <cstdio>
#include <string>
#include <vector>

#if defined(__MINGW32__)
// The C++ runtime formats with mingw's own C99 printf, not the system's.
#define OSCSET_SIM_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define OSCSET_SIM_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define OSCSET_SIM_PRINTF(f, a)
#endif

namespace oscset::sim {

// Lines carry no line end. When a mirror file is given, each line is also written there
// (after `mirror_prefix`, with '\n') and flushed as it happens.
class EventLog {
  public:
    explicit EventLog(std::FILE* mirror = nullptr, std::string mirror_prefix = {})
        : mirror_(mirror), mirror_prefix_(std::move(mirror_prefix)) {}

    void add(const char* format, ...) OSCSET_SIM_PRINTF(2, 3);
    void add_line(std::string line);

    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

  private:
    std::FILE* mirror_;
    std::string mirror_prefix_;
    std::vector<std::string> lines_;
};

}  // namespace oscset::sim
