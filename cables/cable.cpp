#include "cables/cable.hpp"

#include <array>
#include <cstring>

#include "cables/parallel/xpar.hpp"
#include "cables/usb/usb_cable.hpp"

namespace oscset::cable {
namespace {

struct binding {
    const char* name;
    Cable* (*own_driver)();
    Cable* replacement = nullptr;
    std::int32_t replacement_tdo_reverse = 1;
};

std::array<binding, 2> bindings{{
    {USB_CABLE_NAME, [] { return &usb::usb_cable(); }},
    {PARALLEL_CABLE_NAME, [] { return &parallel::xpar_cable(); }},
}};

CableOps bound;
std::int32_t is_open = 0;
char description[DESCRIPTION_SIZE];

binding* find(const char* name) {
    for (binding& b : bindings) {
        if (name != nullptr && std::strcmp(name, b.name) == 0) {
            return &b;
        }
    }
    return nullptr;
}

}  // namespace

std::int32_t cable_bind(const char* name) {
    binding* b = find(name);
    if (b == nullptr) {
        return -1;
    }
    if (b->replacement != nullptr) {
        bound = {b->replacement, b->replacement_tdo_reverse};
    } else {
        bound = {b->own_driver(), 1};
    }
    return 0;
}

status_t cable_open(std::uint32_t id) {
    cable_close();
    if (id == CABLE_AUTOMATIC) {
        if (cable_open(CABLE_FIRST_USB) == STATUS_OK) {
            return STATUS_OK;
        }
        return cable_open(CABLE_PARALLEL_378);
    }
    const char* name = nullptr;
    switch (id >> 16) {
        case CABLE_KIND_USB:
            name = USB_CABLE_NAME;
            break;
        case CABLE_KIND_PARALLEL:
            name = PARALLEL_CABLE_NAME;
            break;
        default:
            return STATUS_UNKNOWN_CABLE;
    }
    if (cable_bind(name) != 0) {
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
    binding* b = find(name);
    if (b == nullptr) {
        return false;
    }
    b->replacement = driver;
    b->replacement_tdo_reverse = tdo_reverse;
    return true;
}

}  // namespace oscset::cable
