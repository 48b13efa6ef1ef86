#include "bridge/user_transfer.hpp"

#include "jtag/background.hpp"
#include "jtag/bits.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"

namespace oscset::bridge {
namespace {

// The request, written before the worker starts and only read by it.
std::uint8_t request_type = 0;
const std::uint8_t* request_tdi = nullptr;
std::uint8_t* request_tdo = nullptr;
std::uint32_t* request_length = nullptr;

using jtag::load_length;
using jtag::store_length;

// STATUS_CABLE_FAILED when a shift failed on the cable since the last look. The scan it was
// part of stands somewhere unknown: the next transfer selects afresh, from a reset.
status_t cable_status() {
    if (!jtag::jtag_take_cable_failure()) {
        return STATUS_OK;
    }
    jtag::set_bridge_user_type(jtag::USER_TYPE_UNKNOWN);
    jtag::set_current_user_type(jtag::USER_TYPE_UNKNOWN);
    return STATUS_CABLE_FAILED;
}

status_t user_transfer_worker() {
    status_t s = STATUS_OK;
    const std::uint8_t* tdi = request_tdi;
    std::uint8_t* tdo = request_tdo;
    std::uint8_t* const tdo_start = request_tdo;
    const std::uint32_t total = load_length(request_length);
    const jtag::chain_position& at = jtag::selected_position();
    // The other devices' bypass bits: on the TDI side they delay the data into the FPGA, on
    // the TDO side (when reading) its answer out of the chain.
    const std::int32_t extra = at.devices_tdi_side + (tdo != nullptr ? at.devices_tdo_side : 0);

    // A failure before this transfer is not its own to report, but it leaves no scan open.
    cable_status();
    if (jtag::bridge_user_type() != request_type) {
        s = jtag::jtag_select_user(request_type);
        // A newly opened scan starts with one 1 bit, which tells the bridge where data begins.
        const std::uint8_t start_bit = 0xFF;
        s |= jtag::jtag_user_shift(&start_bit, nullptr, 1, 0);
        jtag::set_bridge_user_type(request_type);
        s |= cable_status();
    }
    for (std::uint32_t r = total; r != 0 && s == STATUS_OK;) {
        std::uint32_t block = 0;
        if (r > USER_BLOCK_SIZE) {
            block = USER_BLOCK_SIZE;
            s = jtag::jtag_user_shift(tdi, tdo, 8 * USER_BLOCK_SIZE, 0);
        } else if (extra != 0) {
            block = r;
            s = jtag::jtag_user_shift(tdi, tdo, static_cast<std::int32_t>(8 * r) + extra, 1);
            jtag::set_bridge_user_type(0);
            if (tdo_start != nullptr) {
                jtag::drop_leading_bits(tdo_start, total, static_cast<std::uint32_t>(extra));
            }
        } else {
            // Alone on the chain the scan stays open: the next transfer continues it.
            block = r;
            s = jtag::jtag_user_shift(tdi, tdo, static_cast<std::int32_t>(8 * r), 0);
        }
        s |= cable_status();
        if (tdi != nullptr) {
            tdi += block;
        }
        if (tdo != nullptr) {
            tdo += block;
        }
        r -= block;
        store_length(request_length, r);
    }
    return s;
}

}  // namespace

status_t user_transfer(std::uint32_t type, const std::uint8_t* tdi, std::uint8_t* tdo,
                       std::uint32_t* length) {
    const status_t s = jtag::background_collect();
    if (s != STATUS_OK) {
        return s;
    }
    if (length == nullptr) {
        cable_status();
        const status_t selected = jtag::jtag_select_user(type);
        jtag::set_bridge_user_type(static_cast<std::int32_t>(type & 0xFF));
        return selected | cable_status();
    }
    request_type = static_cast<std::uint8_t>(type);
    request_tdi = tdi;
    request_tdo = tdo;
    request_length = length;
    return jtag::background_run(jtag::BG_STARTED, length, {nullptr, user_transfer_worker});
}

}  // namespace oscset::bridge
