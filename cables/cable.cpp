#include "cables/cable.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/xpar.hpp"
#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_device.hpp"

namespace oscset::cable {
namespace {

// One row per cable kind: the kind in a cable id, the cable's name and its own driver, its
// place in the automatic selection (1 first; 0 never) with the id tried there, and what
// installs its platform's hardware backend.
struct CableKind {
    std::uint32_t kind;
    const char* word;  // how a user names the kind (OSCSET_CABLE)
    const char* name;
    Cable& (*own_driver)();
    std::uint32_t automatic_place;
    std::uint32_t automatic_id;
    bool (*install_hardware)();
};

constexpr std::array<CableKind, 2> CABLE_KINDS{{
    {CABLE_KIND_USB, "usb", USB_CABLE_NAME, usb::usb_cable, 1, CABLE_FIRST_USB,
     usb::install_hardware_usb},
    {CABLE_KIND_PARALLEL, "parallel", PARALLEL_CABLE_NAME, parallel::xpar_cable, 2,
     CABLE_PARALLEL_378, parallel::install_hardware_port_io},
}};

// Another driver put behind a kind's name by cable_set_driver.
struct Replacement {
    Cable* driver = nullptr;
    std::int32_t tdo_reverse = 1;
};
std::array<Replacement, CABLE_KINDS.size()> replacements{};

CableOps bound;
std::int32_t is_open = 0;
char description[DESCRIPTION_SIZE];

// The first row that `match` accepts; CABLE_KINDS.size() when there is none.
template <typename Match>
std::size_t find_row(Match match) {
    return static_cast<std::size_t>(std::find_if(CABLE_KINDS.begin(), CABLE_KINDS.end(), match) -
                                    CABLE_KINDS.begin());
}
std::size_t find(const char* name) {
    return find_row(
        [name](const CableKind& k) { return name != nullptr && std::strcmp(name, k.name) == 0; });
}

// A port number: decimal, or hexadecimal after 0x; at most 16 bits.
bool parse_port(std::string_view text, std::uint32_t& port) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port, base);
    return error == std::errc() && end == text.data() + text.size() && port <= 0xFFFF;
}

status_t open_automatically() {
    status_t result = STATUS_NO_CABLE;
    for (std::uint32_t place = 1; place <= CABLE_KINDS.size(); ++place) {
        for (const CableKind& k : CABLE_KINDS) {
            if (k.automatic_place == place) {
                result = cable_open(k.automatic_id);
                if (result == STATUS_OK) {
                    return result;
                }
            }
        }
    }
    return result;
}

}  // namespace

std::int32_t cable_bind(const char* name) {
    const std::size_t row = find(name);
    if (row == CABLE_KINDS.size()) {
        return -1;
    }
    const Replacement& r = replacements[row];
    bound = r.driver != nullptr ? CableOps{r.driver, r.tdo_reverse}
                                : CableOps{&CABLE_KINDS[row].own_driver(), 1};
    return 0;
}

status_t cable_open(std::uint32_t id) {
    cable_close();
    if (id == CABLE_AUTOMATIC) {
        return open_automatically();
    }
    const std::size_t row = find_row([id](const CableKind& k) { return k.kind == id >> 16; });
    if (row == CABLE_KINDS.size() || cable_bind(CABLE_KINDS[row].name) != 0) {
        return STATUS_UNKNOWN_CABLE;
    }
    if (bound.driver->open(static_cast<std::uint16_t>(id & 0xFFFF), CABLE_SPEED, description) !=
        0) {
        return STATUS_NO_CABLE;
    }
    is_open = 1;
    return STATUS_OK;
}

status_t cable_close() {
    if (is_open == 1) {
        bound.driver->close();
        is_open = 0;
    }
    return STATUS_OK;
}

std::int32_t cable_is_open() {
    return is_open;
}

const CableOps& cable_ops() {
    return bound;
}

bool cable_set_driver(const char* name, Cable* driver, std::int32_t tdo_reverse) {
    const std::size_t row = find(name);
    if (row == CABLE_KINDS.size()) {
        return false;
    }
    replacements[row] = {driver, tdo_reverse};
    return true;
}

void install_hardware_backends() {
    for (const CableKind& k : CABLE_KINDS) {
        k.install_hardware();
    }
}

bool cable_id_from_text(const char* text, std::uint32_t& id) {
    const std::string_view whole = text != nullptr ? text : "";
    if (whole == "auto") {
        id = CABLE_AUTOMATIC;
        return true;
    }
    const std::size_t colon = whole.find(':');
    const std::string_view word = whole.substr(0, colon);
    const std::size_t row = find_row([word](const CableKind& k) { return word == k.word; });
    std::uint32_t port = 0;
    if (row == CABLE_KINDS.size() ||
        (colon != std::string_view::npos && !parse_port(whole.substr(colon + 1), port))) {
        return false;
    }
    id = CABLE_KINDS[row].kind << 16 | port;
    return true;
}

}  // namespace oscset::cable
