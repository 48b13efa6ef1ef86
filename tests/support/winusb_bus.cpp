#include "tests/support/winusb_bus.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/mcs51/emulated_adapter.hpp"

namespace oscset::testing {
namespace {

constexpr std::size_t DEVICE_DESCRIPTOR_SIZE = 18;

std::uint32_t transfer_error(int result, bool still_there) {
    if (result == -EAGAIN) {
        return usb::WIN_ERROR_SEM_TIMEOUT;
    }
    if (!still_there) {
        return usb::WIN_ERROR_DEVICE_NOT_CONNECTED;
    }
    return usb::WIN_ERROR_GEN_FAILURE;  // a stall, or a device that stopped answering
}

}  // namespace

struct WinusbBus::Port {
    std::unique_ptr<UsbFunction> function;
    std::string path;
    std::uint32_t connection = 0;     // as last enumerated; 0: not on the bus
    std::vector<std::uint8_t> pipes;  // of that connection's configuration
};

struct WinusbBus::Handle {
    Port* port;
    std::uint32_t connection;
    std::map<std::uint8_t, std::uint32_t> timeouts;  // ms, by endpoint

    // The connection that the handle serves is still on the bus.
    bool live() const {
        return port->connection == connection && port->function->connection() == connection;
    }
    // The pipe number of the endpoint in that connection's configuration.
    std::optional<std::uint32_t> pipe(std::uint8_t endpoint) const {
        const auto found = std::find(port->pipes.begin(), port->pipes.end(), endpoint);
        return found != port->pipes.end()
                   ? std::optional(static_cast<std::uint32_t>(found - port->pipes.begin()))
                   : std::nullopt;
    }
};

WinusbBus::WinusbBus(platform::SimulatedTime* time) : time_(time) {
    if (time_ != nullptr) {
        time_->on_sleep([this](std::uint32_t ms) { tick(ms); });
    }
}

WinusbBus::~WinusbBus() {
    if (time_ != nullptr) {
        time_->on_sleep(nullptr);
    }
}

void WinusbBus::plug(std::unique_ptr<UsbFunction> function) {
    char path[96];
    std::snprintf(
        path, sizeof path,
        R"(\\?\usb#vid_0547&pid_2131#5&1c2e3a&0&%zu#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
        ports_.size() + 1);
    auto port = std::make_unique<Port>();
    port->function = std::move(function);
    port->path = path;
    {
        std::lock_guard lock(mutex_);
        ports_.push_back(std::move(port));
    }
    tick(0);
}

void WinusbBus::tick(std::uint32_t ms) {
    for (const std::unique_ptr<Port>& port : ports_) {
        port->function->pass_time(ms);
        const std::uint32_t now = port->function->connection();
        if (now == port->connection) {
            continue;
        }
        const std::vector<std::uint8_t> descriptors =
            now != 0 ? port->function->descriptors() : std::vector<std::uint8_t>{};
        std::lock_guard lock(mutex_);
        port->connection = descriptors.size() >= DEVICE_DESCRIPTOR_SIZE ? now : 0;
        port->pipes = descriptors.size() >= DEVICE_DESCRIPTOR_SIZE
                          ? sim::pipes_of(std::span(descriptors).subspan(DEVICE_DESCRIPTOR_SIZE))
                          : std::vector<std::uint8_t>{};
    }
}

int WinusbBus::open_handles() const {
    std::lock_guard lock(mutex_);
    return open_handles_;
}

std::vector<usb::UsbDeviceEntry> WinusbBus::devices() {
    std::lock_guard lock(mutex_);
    std::vector<usb::UsbDeviceEntry> listed;
    for (const std::unique_ptr<Port>& port : ports_) {
        if (port->connection != 0 && Handle{port.get(), port->connection, {}}.live()) {
            listed.push_back({port->path, "WinUSB"});
        }
    }
    return listed;
}

void* WinusbBus::open(const std::string& path, std::uint32_t& error) {
    std::lock_guard lock(mutex_);
    for (const std::unique_ptr<Port>& port : ports_) {
        auto handle = std::make_unique<Handle>(Handle{port.get(), port->connection, {}});
        if (port->path == path && port->connection != 0 && handle->live()) {
            error = 0;
            ++open_handles_;
            return handle.release();
        }
    }
    error = usb::WIN_ERROR_NO_SUCH_DEVICE;
    return nullptr;
}

void WinusbBus::close(void* handle) {
    std::lock_guard lock(mutex_);
    delete static_cast<Handle*>(handle);
    --open_handles_;
}

std::uint32_t WinusbBus::set_auto_suspend(void* handle, bool) {
    std::lock_guard lock(mutex_);
    return static_cast<Handle*>(handle)->live() ? 0 : usb::WIN_ERROR_DEVICE_NOT_CONNECTED;
}

std::vector<std::uint8_t> WinusbBus::pipes(void* handle) {
    std::lock_guard lock(mutex_);
    const Handle& h = *static_cast<Handle*>(handle);
    return h.port->connection == h.connection ? h.port->pipes : std::vector<std::uint8_t>{};
}

std::uint32_t WinusbBus::set_pipe_timeout(void* handle, std::uint8_t endpoint, std::uint32_t ms) {
    std::lock_guard lock(mutex_);
    Handle& h = *static_cast<Handle*>(handle);
    if (!h.live()) {
        return usb::WIN_ERROR_DEVICE_NOT_CONNECTED;
    }
    if (!h.pipe(endpoint)) {
        return usb::WIN_ERROR_INVALID_PARAMETER;  // no such pipe in the current setting
    }
    h.timeouts[endpoint] = ms;
    return 0;
}

std::uint32_t WinusbBus::control(void* handle, const usb::ControlSetup& s, std::uint8_t* data,
                                 std::uint32_t& transferred) {
    transferred = 0;
    const Handle& h = *static_cast<Handle*>(handle);
    UsbFunction& function = *h.port->function;
    if (function.connection() != h.connection) {
        return usb::WIN_ERROR_DEVICE_NOT_CONNECTED;
    }
    const std::array<std::uint8_t, 8> setup{s.type,
                                            s.request,
                                            static_cast<std::uint8_t>(s.value),
                                            static_cast<std::uint8_t>(s.value >> 8),
                                            static_cast<std::uint8_t>(s.index),
                                            static_cast<std::uint8_t>(s.index >> 8),
                                            static_cast<std::uint8_t>(s.length),
                                            static_cast<std::uint8_t>(s.length >> 8)};
    const int result = function.control(setup, std::span(data, s.length));
    if (result < 0) {
        return transfer_error(result, function.connection() == h.connection);
    }
    transferred = static_cast<std::uint32_t>(result);
    return 0;
}

std::uint32_t WinusbBus::write_pipe(void* handle, std::uint8_t endpoint, const std::uint8_t* data,
                                    std::uint32_t length, std::uint32_t& transferred) {
    // The function takes a mutable span for both directions; a write only reads it.
    return transfer(handle, endpoint, std::span(const_cast<std::uint8_t*>(data), length),
                    transferred, false);
}

std::uint32_t WinusbBus::read_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                                   std::uint32_t length, std::uint32_t& transferred) {
    return transfer(handle, endpoint, std::span(buffer, length), transferred, false);
}

std::uint32_t WinusbBus::poll_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                                   std::uint32_t length, std::uint32_t& transferred,
                                   std::uint32_t /*wait_ms: what the device holds comes at once*/) {
    return transfer(handle, endpoint, std::span(buffer, length), transferred, true);
}

// A transfer that the device NAKs is asked again until the pipe's time-out; a poll asks once.
std::uint32_t WinusbBus::transfer(void* handle, std::uint8_t endpoint, std::span<std::uint8_t> data,
                                  std::uint32_t& transferred, bool poll) {
    transferred = 0;
    const Handle& h = *static_cast<Handle*>(handle);
    UsbFunction& function = *h.port->function;
    std::uint32_t pipe = 0;
    std::uint32_t timeout_ms = 0;
    {
        std::lock_guard lock(mutex_);
        if (!h.live()) {
            return usb::WIN_ERROR_DEVICE_NOT_CONNECTED;
        }
        const std::optional<std::uint32_t> found = h.pipe(endpoint);
        if (!found) {
            return usb::WIN_ERROR_INVALID_PARAMETER;
        }
        pipe = *found;
        const auto timeout = h.timeouts.find(endpoint);
        if (timeout == h.timeouts.end() && !poll) {
            ADD_FAILURE() << "a transfer on pipe " << std::hex << int{endpoint}
                          << " without its time-out";
            return usb::WIN_ERROR_GEN_FAILURE;
        }
        timeout_ms = timeout != h.timeouts.end() ? timeout->second : 0;
    }
    const bool in = (endpoint & usb::ENDPOINT_IN) != 0;
    int result = 0;
    const auto deadline = std::chrono::steady_clock::now() + platform::wait_limit(timeout_ms);
    do {
        result = function.bulk(pipe, in, data, poll);
    } while (result == -EAGAIN && !poll && std::chrono::steady_clock::now() < deadline);
    if (result < 0) {
        return transfer_error(result, function.connection() == h.connection);
    }
    transferred = static_cast<std::uint32_t>(result);
    return 0;
}

}  // namespace oscset::testing
