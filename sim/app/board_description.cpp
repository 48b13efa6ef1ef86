#include "sim/app/board_description.hpp"

#include <array>
#include <charconv>
#include <climits>
#include <optional>
#include <string_view>

#include "sim/board/parts.hpp"

namespace oscset::sim {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

bool parse_flag(std::string_view value, bool& flag) {
    if (value == "1") {
        flag = true;
    } else if (value == "0") {
        flag = false;
    } else {
        return false;
    }
    return true;
}

bool parse_count(std::string_view value, std::uint32_t& count) {
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), count);
    return ec == std::errc() && end == value.data() + value.size();
}

// The fault keys that take a count, and what they count.
struct CountedFault {
    std::string_view key;
    std::optional<std::uint32_t> UsbFaults::*field;
    const char* counted;
};
constexpr std::array<CountedFault, 4> COUNTED_FAULTS{{
    {"fail_reads", &UsbFaults::fail_reads, "bulk reads"},
    {"fail_writes", &UsbFaults::fail_writes, "bulk writes"},
    {"lose_write", &UsbFaults::lose_write, "bulk writes"},
    {"unplug", &UsbFaults::unplug, "bulk transfers"},
}};

// Nothing when `key` is no fault key; else whether its value was good.
std::optional<bool> parse_fault(std::string_view key, std::string_view value, UsbFaults& faults,
                                std::string& error) {
    if (key == "stale") {
        if (!parse_flag(value, faults.stale)) {
            error = "stale= takes 0 or 1";
            return false;
        }
        return true;
    }
    for (const CountedFault& fault : COUNTED_FAULTS) {
        if (key != fault.key) {
            continue;
        }
        std::uint32_t count = 0;
        if (!parse_count(value, count)) {
            error = std::string(key) + "= takes a number of " + fault.counted + " from 0";
            return false;
        }
        faults.*fault.field = count;
        return true;
    }
    return std::nullopt;
}

bool parse_item(std::string_view key, std::string_view value, SimDescription& out,
                std::string& error) {
    if (key == "chain") {
        out.board.chain.clear();
        for (std::string_view part : split(value, '+')) {
            if (find_part(std::string(part)) == nullptr) {
                error = "unknown part '" + std::string(part) + "' in chain=";
                return false;
            }
            out.board.chain.emplace_back(part);
        }
        return true;
    }
    if (key == "configured") {
        if (!parse_flag(value, out.board.fpga_configured)) {
            error = "configured= takes 0 or 1";
            return false;
        }
        return true;
    }
    if (key == "power") {
        if (!parse_flag(value, out.board.target_power)) {
            error = "power= takes 0 or 1";
            return false;
        }
        return true;
    }
    if (key == "direct") {
        if (!parse_flag(value, out.direct_cable)) {
            error = "direct= takes 0 or 1";
            return false;
        }
        return true;
    }
    if (key == "adapter") {
        if (value == "fresh") {
            out.adapter = AdapterKind::FRESH;
        } else if (value == "ready") {
            out.adapter = AdapterKind::READY;
        } else if (value == "absent") {
            out.adapter = AdapterKind::ABSENT;
        } else if (value == "emulated") {
            out.adapter = AdapterKind::EMULATED;
        } else {
            error = "adapter= takes fresh, ready, absent or emulated";
            return false;
        }
        return true;
    }
    if (const std::optional<bool> fault = parse_fault(key, value, out.faults, error)) {
        return *fault;
    }
    if (key == "system_design") {
        out.system_design = value;
        return true;
    }
    if (key == "placeholder") {
        if (value != "used" && value != "refused") {
            error = "placeholder= takes used or refused";
            return false;
        }
        out.refuse_placeholder = value == "refused";
        return true;
    }
    if (key == "adapters") {
        if (!parse_count(value, out.adapters) || out.adapters == 0 ||
            out.adapters > MAX_SIM_ADAPTERS) {
            error = "adapters= takes a number of adapters from 1 to " +
                    std::to_string(MAX_SIM_ADAPTERS);
            return false;
        }
        return true;
    }
    if (key == "reconnect") {
        std::uint32_t opens = 0;
        if (!parse_count(value, opens) || opens >= INT_MAX) {
            error = "reconnect= takes a number of opens from 0";
            return false;
        }
        out.reconnect = opens;
        return true;
    }
    if (key == "lock") {
        if (value == "never") {
            out.board.lock_after_reads.reset();
            return true;
        }
        std::uint32_t reads = 0;
        if (!parse_count(value, reads) || reads == 0) {
            error = "lock= takes a number of status reads from 1, or never";
            return false;
        }
        out.board.lock_after_reads = reads;
        return true;
    }
    error = "unknown key '" + std::string(key) + "'";
    return false;
}

}  // namespace

bool parse_board_description(const char* text, SimDescription& out, std::string& error) {
    out = SimDescription{};
    if (text == nullptr || *text == '\0') {
        return true;
    }
    for (std::string_view item : split(text, ',')) {
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            error = "'" + std::string(item) + "' is not key=value";
            return false;
        }
        if (!parse_item(item.substr(0, equals), item.substr(equals + 1), out, error)) {
            return false;
        }
    }
    if (out.reconnect && out.adapter == AdapterKind::EMULATED) {
        error = "reconnect= does not apply to adapter=emulated";
        return false;
    }
    return true;
}

}  // namespace oscset::sim
