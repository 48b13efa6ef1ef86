#pragma once
// A pin-waveform recorder for the printer port: logs every register access in order and
// answers status reads from a model of what the lines would show.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "cables/parallel/port_io.hpp"

namespace oscset::testing {

struct PortAccess {
    char kind;  // 'W' write, 'R' read
    std::uint16_t address;
    std::uint8_t value;  // written, or returned
    bool operator==(const PortAccess&) const = default;
};

// Status register as a function of the data register's last value.
using StatusModel = std::function<std::uint8_t(std::uint8_t data)>;

// A cable on the port: bits 5 and 7 follow data bit 6, bit 3 the target's power, bit 4 TDO.
inline StatusModel cable_status(bool power, bool tdo) {
    return [power, tdo](std::uint8_t data) {
        std::uint8_t status = (data & 0x40) != 0 ? 0x20 : 0x80;
        return static_cast<std::uint8_t>(status | (power ? 0x08 : 0) | (tdo ? 0x10 : 0));
    };
}

class RecorderPort final : public parallel::PortIo {
  public:
    explicit RecorderPort(StatusModel status = cable_status(true, false))
        : status_(std::move(status)) {}

    bool granted = true;
    std::vector<std::uint16_t> acquired;  // bases asked for
    std::vector<PortAccess> log;

    bool acquire(std::uint16_t base) override {
        acquired.push_back(base);
        return granted;
    }
    void write(std::uint16_t address, std::uint8_t value) override {
        data_ = value;
        log.push_back({'W', address, value});
    }
    std::uint8_t read(std::uint16_t address) override {
        const std::uint8_t value = status_(data_);
        log.push_back({'R', address, value});
        return value;
    }
    bool take_failure() override { return std::exchange(failing, false); }
    bool failing = false;  // as a port whose accesses did not get through

    std::vector<std::uint8_t> writes() const {
        std::vector<std::uint8_t> values;
        for (const PortAccess& a : log) {
            if (a.kind == 'W') {
                values.push_back(a.value);
            }
        }
        return values;
    }
    std::uint8_t data() const { return data_; }

  private:
    StatusModel status_;
    std::uint8_t data_ = 0;
};

}  // namespace oscset::testing
