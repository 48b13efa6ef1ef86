#pragma once
// The printer port through Linux's ppdev driver: /dev/parportN, claimed, then one ioctl per
// register access. Works for members of the `lp` group without root.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>

#include "cables/parallel/port_io.hpp"

namespace oscset::parallel {

inline constexpr const char* PARPORT_SYSCTL_DIR = "/proc/sys/dev/parport";
inline constexpr const char* DEVICE_DIR = "/dev";
// PPCLAIM waits in the kernel while another holder (a printer driver, another program) has
// the port; after this long the port counts as unavailable.
inline constexpr std::uint32_t CLAIM_TIMEOUT_MS = 1000;

// Claims the port of an open ppdev device: 0, or -1 with errno.
using ClaimCall = std::function<int(int fd)>;
int ppdev_claim(int fd);
// Arms the timer that bounds a claim, as timer_settime does: 0, or -1 with errno.
using ArmCall = std::function<int(timer_t timer, const itimerspec& arm)>;
int arm_claim_timer(timer_t timer, const itimerspec& arm);

// The device node of the port whose base address is `base`: each port has a folder
// parportN under `sysctl_dir` whose file base-addr starts with its base in decimal; the
// node is `device_dir`/parportN. Nothing when no port has that base.
std::optional<std::filesystem::path> find_parport_device(const std::filesystem::path& sysctl_dir,
                                                         const std::filesystem::path& device_dir,
                                                         std::uint16_t base);

class PpdevPort final : public PortIo {
  public:
    explicit PpdevPort(std::filesystem::path sysctl_dir = PARPORT_SYSCTL_DIR,
                       std::filesystem::path device_dir = DEVICE_DIR, ClaimCall claim = ppdev_claim,
                       ArmCall arm = arm_claim_timer);
    ~PpdevPort();  // releases the port and closes the device
    PpdevPort(const PpdevPort&) = delete;
    PpdevPort& operator=(const PpdevPort&) = delete;

    // Opens and claims the device of `base` and drives the data lines; a claim that waits
    // longer than CLAIM_TIMEOUT_MS is given up, and one whose timer cannot be armed is not
    // made. The claim is kept until another base is asked for or the object ends, so access
    // outlives a cable close.
    bool acquire(std::uint16_t base) override;
    void write(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t read(std::uint16_t address) override;
    // An access whose ioctl failed, or that came without a claimed port.
    bool take_failure() override;

  private:
    void release();

    std::filesystem::path sysctl_dir_;
    std::filesystem::path device_dir_;
    ClaimCall claim_;
    ArmCall arm_;
    int fd_ = -1;
    std::uint16_t base_ = 0;
    bool failed_ = false;
};

}  // namespace oscset::parallel
