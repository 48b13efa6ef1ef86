#include "cables/parallel/ppdev_port.hpp"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include <array>
#include <charconv>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "platform/time.hpp"

namespace oscset::parallel {
namespace {

constexpr std::string_view PORT_PREFIX = "parport";
constexpr std::size_t BASE_TEXT_SIZE = 32;  // "888\t1912\n" and the like

// Only "parport" followed by digits names a port; the sysctl folder also holds "default".
bool is_port_name(const std::string& name) {
    if (name.size() <= PORT_PREFIX.size() ||
        name.compare(0, PORT_PREFIX.size(), PORT_PREFIX) != 0) {
        return false;
    }
    for (std::size_t i = PORT_PREFIX.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

std::optional<std::uint32_t> read_base(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<char, BASE_TEXT_SIZE> text{};
    in.read(text.data(), text.size());
    const char* end = text.data() + in.gcount();
    std::uint32_t base = 0;
    auto [stop, error] = std::from_chars(text.data(), end, base);
    if (error != std::errc() || stop == text.data()) {
        return std::nullopt;
    }
    return base;
}

// The signal that cuts a claim short: its handler does nothing, and without SA_RESTART the
// interrupted call returns EINTR.
int claim_alarm_signal() {
    static const int signal = [] {
        const int number = SIGRTMIN;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

// Runs `call` on this thread with a timer that interrupts it after `limit`, and again every
// `limit` after that, in case the first signal came before the call began to wait.
int call_within(std::chrono::microseconds limit, const ClaimCall& call, const ArmCall& arm,
                int fd) {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = claim_alarm_signal();
    event._sigev_un._tid = gettid();
    timer_t timer{};
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
        return -1;  // unbounded is not an option
    }
    const auto us = std::max<long long>(limit.count(), 1);
    const timespec period{static_cast<time_t>(us / 1'000'000),
                          static_cast<long>(us % 1'000'000) * 1000};
    if (arm(timer, itimerspec{period, period}) != 0) {
        timer_delete(timer);
        return -1;
    }
    const int result = call(fd);
    const int error = errno;
    timer_delete(timer);
    errno = error;
    return result;
}

}  // namespace

int ppdev_claim(int fd) {
    return ioctl(fd, PPCLAIM);
}

int arm_claim_timer(timer_t timer, const itimerspec& arm) {
    return timer_settime(timer, 0, &arm, nullptr);
}

std::optional<std::filesystem::path> find_parport_device(const std::filesystem::path& sysctl_dir,
                                                         const std::filesystem::path& device_dir,
                                                         std::uint16_t base) {
    std::error_code error;
    std::filesystem::directory_iterator entries(sysctl_dir, error);
    if (error) {
        return std::nullopt;
    }
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (!is_port_name(name)) {
            continue;
        }
        if (read_base(entry.path() / "base-addr") == std::optional<std::uint32_t>(base)) {
            return device_dir / name;
        }
    }
    return std::nullopt;
}

PpdevPort::PpdevPort(std::filesystem::path sysctl_dir, std::filesystem::path device_dir,
                     ClaimCall claim, ArmCall arm)
    : sysctl_dir_(std::move(sysctl_dir)),
      device_dir_(std::move(device_dir)),
      claim_(std::move(claim)),
      arm_(std::move(arm)) {}

PpdevPort::~PpdevPort() {
    release();
}

void PpdevPort::release() {
    if (fd_ >= 0) {
        ioctl(fd_, PPRELEASE);
        ::close(fd_);
        fd_ = -1;
    }
}

bool PpdevPort::acquire(std::uint16_t base) {
    if (fd_ >= 0 && base == base_) {
        return true;
    }
    release();
    const auto device = find_parport_device(sysctl_dir_, device_dir_, base);
    if (!device) {
        return false;
    }
    const int fd = ::open(device->c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (call_within(platform::wait_limit(CLAIM_TIMEOUT_MS), claim_, arm_, fd) != 0) {
        ::close(fd);
        return false;
    }
    // A port left in input mode by another program would not drive the cable's lines.
    int forward = 0;
    ioctl(fd, PPDATADIR, &forward);
    fd_ = fd;
    base_ = base;
    return true;
}

void PpdevPort::write(std::uint16_t address, std::uint8_t value) {
    if (fd_ < 0) {
        failed_ = true;
        return;
    }
    unsigned char byte = value;
    int result = 0;
    if (address == base_) {
        result = ioctl(fd_, PPWDATA, &byte);
    } else if (address == base_ + 2) {
        result = ioctl(fd_, PPWCONTROL, &byte);
    }
    failed_ = failed_ || result != 0;
}

std::uint8_t PpdevPort::read(std::uint16_t address) {
    if (fd_ < 0) {
        failed_ = true;
        return 0xFF;
    }
    unsigned long request = 0;
    if (address == base_) {
        request = PPRDATA;
    } else if (address == base_ + 1) {
        request = PPRSTATUS;  // the register as the port shows it, busy line inverted
    } else if (address == base_ + 2) {
        request = PPRCONTROL;
    } else {
        return 0xFF;
    }
    unsigned char byte = 0xFF;
    if (ioctl(fd_, request, &byte) != 0) {
        failed_ = true;
        return 0xFF;
    }
    return byte;
}

bool PpdevPort::take_failure() {
    return std::exchange(failed_, false);
}

}  // namespace oscset::parallel
