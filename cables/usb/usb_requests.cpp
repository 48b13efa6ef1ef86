#include "cables/usb/usb_requests.hpp"

#include <algorithm>
#include <cstring>

#include "cables/usb/ezusb.hpp"

namespace oscset::usb {
namespace {

constexpr std::size_t DOWNLOAD_CHUNK = 512;       // well inside what the chip and hosts take
constexpr std::size_t INTERNAL_RAM_END = 0x1B40;  // the 0xA0 request reaches no further

ControlSetup ram_setup(std::uint8_t type, std::size_t address, std::size_t length) {
    return {.type = type,
            .request = EZUSB_LOAD_REQUEST,
            .value = static_cast<std::uint16_t>(address),
            .index = 0,
            .length = static_cast<std::uint16_t>(length)};
}

}  // namespace

std::optional<PipeEndpoint> pipe_endpoint(std::uint32_t pipe, bool in) {
    if (pipe >= PIPE_ENDPOINTS.size() ||
        ((PIPE_ENDPOINTS[pipe].address & ENDPOINT_IN) != 0) != in) {
        return std::nullopt;
    }
    return PIPE_ENDPOINTS[pipe];
}

bool vendor_request_byte(ControlPipe& pipe, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint8_t data) {
    std::uint8_t byte = data;
    const ControlSetup setup{.type = REQUEST_VENDOR_OUT,
                             .request = request,
                             .value = value,
                             .index = index,
                             .length = 1};
    const ControlOutcome outcome = pipe.control(setup, &byte);
    const bool releases = request == EZUSB_LOAD_REQUEST && value == EZUSB_CPUCS && data == 0;
    return outcome == ControlOutcome::DONE || (releases && outcome == ControlOutcome::GONE);
}

bool download_to_ram(ControlPipe& pipe, std::span<const std::uint8_t> image) {
    if (image.size() > INTERNAL_RAM_END) {
        return false;
    }
    std::array<std::uint8_t, DOWNLOAD_CHUNK> chunk{};
    for (std::size_t offset = 0; offset < image.size(); offset += DOWNLOAD_CHUNK) {
        const std::size_t length = std::min(DOWNLOAD_CHUNK, image.size() - offset);
        std::memcpy(chunk.data(), image.data() + offset, length);
        if (pipe.control(ram_setup(REQUEST_VENDOR_OUT, offset, length), chunk.data()) !=
            ControlOutcome::DONE) {
            return false;
        }
    }
    for (std::size_t offset = 0; offset < image.size(); offset += DOWNLOAD_CHUNK) {
        const std::size_t length = std::min(DOWNLOAD_CHUNK, image.size() - offset);
        if (pipe.control(ram_setup(REQUEST_VENDOR_IN, offset, length), chunk.data()) !=
                ControlOutcome::DONE ||
            std::memcmp(chunk.data(), image.data() + offset, length) != 0) {
            return false;
        }
    }
    return true;
}

ControlSetup string_setup(std::uint8_t index, std::uint16_t language, std::uint16_t length) {
    return {.type = REQUEST_STANDARD_IN,
            .request = REQUEST_GET_DESCRIPTOR,
            .value = static_cast<std::uint16_t>(DESCRIPTOR_STRING << 8 | index),
            .index = language,
            .length = length};
}

}  // namespace oscset::usb
