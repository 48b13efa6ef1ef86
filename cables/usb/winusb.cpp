#include "cables/usb/winusb.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <optional>

#include "platform/console.hpp"

namespace oscset::usb {

namespace {

constexpr const char* WINUSB_SERVICE = "winusb";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A whole device 0547:2131 (not one function of a composite device, whose id goes on with
// "&mi_"), whatever drives it.
bool is_adapter(const UsbDeviceEntry& entry) {
    char id[32];
    std::snprintf(id, sizeof id, "#vid_%04x&pid_%04x#", ADAPTER_VENDOR_ID, ADAPTER_PRODUCT_ID);
    return lower(entry.path).find(id) != std::string::npos;
}

bool driven_by_winusb(const UsbDeviceEntry& entry) {
    return lower(entry.service) == WINUSB_SERVICE;
}

bool means_gone(std::uint32_t error) {
    return error == WIN_ERROR_BAD_COMMAND || error == WIN_ERROR_GEN_FAILURE ||
           error == WIN_ERROR_NO_SUCH_DEVICE || error == WIN_ERROR_DEVICE_NOT_CONNECTED;
}

// The pipe number of an endpoint of the firmware's interface.
std::optional<std::size_t> pipe_of(std::uint8_t endpoint) {
    for (std::size_t pipe = 0; pipe < PIPE_ENDPOINTS.size(); ++pipe) {
        if (PIPE_ENDPOINTS[pipe].address == endpoint) {
            return pipe;
        }
    }
    return std::nullopt;
}

}  // namespace

// The one WinUSB handle to an adapter. Once a call has found the adapter gone, a new open of
// the same path gets a handle of its own instead.
class WinusbAdapter {
  public:
    WinusbAdapter(WinusbCalls& calls, std::string path, void* handle)
        : calls_(calls), path_(std::move(path)), handle_(handle) {}
    ~WinusbAdapter() { calls_.close(handle_); }
    WinusbAdapter(const WinusbAdapter&) = delete;
    WinusbAdapter& operator=(const WinusbAdapter&) = delete;

    WinusbCalls& calls() const { return calls_; }
    void* handle() const { return handle_; }
    const std::string& path() const { return path_; }
    bool serves(const std::string& path) const { return !gone_.load() && path == path_; }
    std::uint32_t note(std::uint32_t error) {
        if (means_gone(error)) {
            gone_.store(true);
        }
        return error;
    }

    // Every pipe that the current setting has gets its time-out; a pipe without one (refused,
    // or absent as on a blank chip) moves no data, for a call on it could wait for ever.
    void bound_pipes() {
        for (const std::uint8_t endpoint : calls_.pipes(handle_)) {
            const std::optional<std::size_t> pipe = pipe_of(endpoint);
            const bool in = (endpoint & ENDPOINT_IN) != 0;
            if (pipe && calls_.set_pipe_timeout(
                            handle_, endpoint,
                            in ? WINUSB_READ_TIMEOUT_MS : WINUSB_WRITE_TIMEOUT_MS) == 0) {
                bounded_[*pipe] = true;
            }
        }
    }
    bool bounded(std::uint32_t pipe) const { return pipe < bounded_.size() && bounded_[pipe]; }

  private:
    WinusbCalls& calls_;
    std::string path_;
    void* handle_;
    std::atomic<bool> gone_{false};
    std::array<bool, PIPE_ENDPOINTS.size()> bounded_{};
};

namespace {

class WinusbDevice final : public UsbDevice, private ControlPipe {
  public:
    explicit WinusbDevice(std::shared_ptr<WinusbAdapter> adapter) : adapter_(std::move(adapter)) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        return vendor_request_byte(*this, request, value, index, data);
    }

    bool download(std::span<const std::uint8_t> image) override {
        return download_to_ram(*this, image);
    }

    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) override {
        std::fill(answer.begin(), answer.end(), std::uint8_t{0});
        std::uint32_t moved = 0;
        const std::uint32_t error = adapter_->note(adapter_->calls().control(
            adapter_->handle(), string_setup(index, language, STRING_ANSWER_SIZE), answer.data(),
            moved));
        return error == 0 && moved >= 2;  // at least the descriptor's length and type
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        const std::optional<PipeEndpoint> endpoint = usable(pipe, false);
        if (!endpoint) {
            return false;
        }
        const std::uint32_t error = adapter_->calls().write_pipe(
            adapter_->handle(), endpoint->address, data, length, transferred);
        return moved(error, transferred);
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, 0);
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, POLL_READ_MS);
    }

    std::string location() const override { return adapter_->path(); }

  private:
    ControlOutcome control(const ControlSetup& setup, std::uint8_t* data) override {
        std::uint32_t moved = 0;
        const std::uint32_t error =
            adapter_->note(adapter_->calls().control(adapter_->handle(), setup, data, moved));
        if (error == 0 && moved == setup.length) {
            return ControlOutcome::DONE;
        }
        return means_gone(error) ? ControlOutcome::GONE : ControlOutcome::FAILED;
    }

    // Bounded by the pipe's time-out, or given up after `wait_ms` when that is set.
    bool read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t& transferred, std::uint32_t wait_ms) {
        transferred = 0;
        const std::optional<PipeEndpoint> endpoint = usable(pipe, true);
        if (!endpoint) {
            return false;
        }
        WinusbCalls& calls = adapter_->calls();
        const std::uint32_t error = wait_ms == 0
                                        ? calls.read_pipe(adapter_->handle(), endpoint->address,
                                                          buffer, length, transferred)
                                        : calls.poll_pipe(adapter_->handle(), endpoint->address,
                                                          buffer, length, transferred, wait_ms);
        return moved(error, transferred);
    }

    std::optional<PipeEndpoint> usable(std::uint32_t pipe, bool in) const {
        const std::optional<PipeEndpoint> endpoint = pipe_endpoint(pipe, in);
        return endpoint && adapter_->bounded(pipe) ? endpoint : std::nullopt;
    }

    // A time-out that moved some bytes is a short transfer; the caller continues it.
    bool moved(std::uint32_t error, std::uint32_t transferred) {
        adapter_->note(error);
        return error == 0 || (error == WIN_ERROR_SEM_TIMEOUT && transferred > 0);
    }

    std::shared_ptr<WinusbAdapter> adapter_;
};

std::vector<std::string> sorted_paths(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end(),
              [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
    return paths;
}

}  // namespace

std::unique_ptr<UsbDevice> WinusbBackend::open(int index) {
    if (index < 0) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    std::vector<UsbDeviceEntry> others;  // adapters that WinUSB does not drive
    for (const UsbDeviceEntry& entry : calls_.devices()) {
        if (is_adapter(entry)) {
            if (driven_by_winusb(entry)) {
                paths.push_back(entry.path);
            } else {
                others.push_back(entry);
            }
        }
    }
    if (static_cast<std::size_t>(index) >= paths.size()) {
        report_driver(others);
        return nullptr;
    }
    return share(sorted_paths(std::move(paths))[static_cast<std::size_t>(index)]);
}

std::unique_ptr<UsbDevice> WinusbBackend::open_at(const std::string& location) {
    std::lock_guard lock(mutex_);
    for (const UsbDeviceEntry& entry : calls_.devices()) {
        if (is_adapter(entry) && driven_by_winusb(entry) && lower(entry.path) == lower(location)) {
            return share(entry.path);
        }
    }
    return nullptr;
}

// Once: what stands between the user and an adapter that is plugged in.
void WinusbBackend::report_driver(const std::vector<UsbDeviceEntry>& others) {
    if (others.empty() || driver_reported_) {
        return;
    }
    driver_reported_ = true;
    const UsbDeviceEntry& first = *std::min_element(
        others.begin(), others.end(), [](const UsbDeviceEntry& a, const UsbDeviceEntry& b) {
            return lower(a.path) < lower(b.path);
        });
    const std::string driver = first.service.empty() ? "no driver" : "the driver " + first.service;
    platform::console_printf("USB adapter %04x:%04x has %s; bind WinUSB to it (see README)\n",
                             ADAPTER_VENDOR_ID, ADAPTER_PRODUCT_ID, driver.c_str());
}

std::unique_ptr<UsbDevice> WinusbBackend::share(const std::string& path) {
    std::erase_if(adapters_, [](const std::weak_ptr<WinusbAdapter>& a) { return a.expired(); });
    for (const std::weak_ptr<WinusbAdapter>& weak : adapters_) {
        std::shared_ptr<WinusbAdapter> adapter = weak.lock();
        if (adapter != nullptr && adapter->serves(path)) {
            return std::make_unique<WinusbDevice>(std::move(adapter));
        }
    }
    std::uint32_t error = 0;
    void* handle = calls_.open(path, error);
    if (handle == nullptr) {
        if (error == WIN_ERROR_ACCESS_DENIED && !busy_reported_) {
            busy_reported_ = true;
            platform::console_printf("USB adapter: its interface is in use by another program\n");
        }
        return nullptr;
    }
    auto adapter = std::make_shared<WinusbAdapter>(calls_, path, handle);
    // Idle with only a read pending, the adapter would be suspended between exchanges, which
    // its firmware does not expect. Where the installation keeps the policy, it stays.
    calls_.set_auto_suspend(handle, false);
    adapter->bound_pipes();
    adapters_.push_back(adapter);
    return std::make_unique<WinusbDevice>(std::move(adapter));
}

}  // namespace oscset::usb
