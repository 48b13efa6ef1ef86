#include "tests/support/recording_cable.hpp"

#include <stdexcept>

#include "cables/cable.hpp"

namespace oscset::testing {

void CableLog::note_open(std::uint16_t port, std::int32_t speed, const char* description) {
    events.push_back("open " + std::to_string(port));
    last_port = port;
    last_speed = speed;
    got_description = description != nullptr;
}

ShiftCall CableLog::note_shift(const std::uint8_t* tdi, const std::uint8_t* tdo,
                               std::uint32_t count, std::int32_t tms_during,
                               std::int32_t tms_last) {
    ShiftCall call{count, tms_during != 0, tms_last != 0, {}, tdo != nullptr};
    if (tdi != nullptr && records_tdi) {
        call.tdi = byte_bits({tdi, (count + 7) / 8});
        call.tdi.resize(count);
    }
    if (on_shift) {
        on_shift(call);
    }
    return call;
}

void CableLog::noted(const ShiftCall& call) {
    if (after_shift) {
        after_shift(call);
    }
    calls.push_back(call);
}

std::string CableLog::trace() const {
    std::string out;
    for (const ShiftCall& c : calls) {
        if (!out.empty()) {
            out += ' ';
        }
        out +=
            std::to_string(c.count) + ':' + (c.tms_during ? '1' : '0') + (c.tms_last ? '1' : '0');
        if (!c.tdi.empty()) {
            out += '/' + c.tdi;
        }
        if (c.reads_tdo) {
            out += 'r';
        }
    }
    return out;
}

std::string CableLog::tdi_stream() const {
    std::string bits;
    for (const ShiftCall& c : calls) {
        bits += c.tdi;
    }
    return bits;
}

std::uint64_t CableLog::clocks() const {
    std::uint64_t total = 0;
    for (const ShiftCall& c : calls) {
        total += c.count;
    }
    return total;
}

std::int32_t RecordingCable::open(std::uint16_t port, std::int32_t speed, char* description) {
    note_open(port, speed, description);
    return open_result;
}

void RecordingCable::close() {
    events.push_back("close");
}

std::int32_t RecordingCable::probe() {
    events.push_back("probe");
    return probe_result;
}

std::int32_t RecordingCable::shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                                   std::int32_t tms_during, std::int32_t tms_last) {
    const ShiftCall call = note_shift(tdi, tdo, count, tms_during, tms_last);
    const bool failing = fails(calls.size());
    failed_ = failed_ || failing;
    for (std::uint32_t i = 0; i < count && tdo != nullptr && !keeps_tdo && !failing; ++i) {
        if (i % 8 == 0) {
            tdo[i / 8] = 0;
        }
        if (tdo_level(clock_ + i)) {
            tdo[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        }
    }
    clock_ += count;
    noted(call);
    return 1;
}

std::int32_t SpyCable::shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                             std::int32_t tms_during, std::int32_t tms_last) {
    const ShiftCall call = note_shift(tdi, tdo, count, tms_during, tms_last);
    const std::int32_t result = inner_.shift(tdi, tdo, count, tms_during, tms_last);
    noted(call);
    return result;
}

std::string word_bits(std::initializer_list<std::uint32_t> words) {
    std::string bits;
    for (const std::uint32_t w : words) {
        for (int k = 31; k >= 0; --k) {
            bits += ((w >> k) & 1) != 0 ? '1' : '0';
        }
    }
    return bits;
}

std::string byte_bits(std::span<const std::uint8_t> bytes) {
    std::string bits;
    for (const std::uint8_t b : bytes) {
        for (int k = 7; k >= 0; --k) {
            bits += ((b >> k) & 1) != 0 ? '1' : '0';
        }
    }
    return bits;
}

InstalledCable::InstalledCable(cable::Cable& cable, const char* name, std::int32_t tdo_reverse)
    : name_(name) {
    cable::cable_set_driver(name, &cable, tdo_reverse);
    const std::uint32_t id = std::string(name) == cable::USB_CABLE_NAME ? cable::CABLE_FIRST_USB
                                                                        : cable::CABLE_PARALLEL_378;
    if (cable::cable_open(id) != STATUS_OK) {
        throw std::runtime_error("the test cable did not open");
    }
}

InstalledCable::~InstalledCable() {
    cable::cable_close();
    cable::cable_set_driver(name_, nullptr);
}

}  // namespace oscset::testing
