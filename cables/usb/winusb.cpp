#include "cables/usb/winusb.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>

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
// "&mi_").
bool is_adapter(const UsbDeviceEntry& entry) {
    char id[32];
    std::snprintf(id, sizeof id, "#vid_%04x&pid_%04x#", ADAPTER_VENDOR_ID, ADAPTER_PRODUCT_ID);
    return lower(entry.path).find(id) != std::string::npos &&
           lower(entry.service) == WINUSB_SERVICE;
}

bool means_gone(std::uint32_t error) {
    return error == WIN_ERROR_BAD_COMMAND || error == WIN_ERROR_NO_SUCH_DEVICE ||
           error == WIN_ERROR_DEVICE_NOT_CONNECTED;
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
    bool serves(const std::string& path) const { return !gone_.load() && path == path_; }
    std::uint32_t note(std::uint32_t error) {
        if (means_gone(error)) {
            gone_.store(true);
        }
        return error;
    }

  private:
    WinusbCalls& calls_;
    std::string path_;
    void* handle_;
    std::atomic<bool> gone_{false};
};

namespace {

class WinusbDevice final : public UsbDevice, private ControlPipe {
  public:
    explicit WinusbDevice(std::shared_ptr<WinusbAdapter> adapter) : adapter_(std::move(adapter)) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        std::uint8_t byte = data;
        std::uint32_t moved = 0;
        const std::uint32_t error = adapter_->note(adapter_->calls().control(
            adapter_->handle(), cpu_control_setup(request, value, index), &byte, moved));
        if (error == 0 && moved == 1) {
            return true;
        }
        // Released from reset, renumerating firmware drops off the bus at once and may cut
        // the request's status stage short.
        return releases_cpu(request, value, data) &&
               (error == WIN_ERROR_GEN_FAILURE || means_gone(error));
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
        const std::optional<PipeEndpoint> endpoint = pipe_endpoint(pipe, false);
        if (!endpoint) {
            return false;
        }
        const std::uint32_t error = adapter_->calls().write_pipe(
            adapter_->handle(), endpoint->address, data, length, transferred);
        return moved(error, transferred);
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        const std::optional<PipeEndpoint> endpoint = pipe_endpoint(pipe, true);
        if (!endpoint) {
            return false;
        }
        const std::uint32_t error = adapter_->calls().read_pipe(
            adapter_->handle(), endpoint->address, buffer, length, transferred);
        return moved(error, transferred);
    }

  private:
    bool control(const ControlSetup& setup, std::uint8_t* data) override {
        std::uint32_t moved = 0;
        const std::uint32_t error =
            adapter_->note(adapter_->calls().control(adapter_->handle(), setup, data, moved));
        return error == 0 && moved == setup.length;
    }

    // A time-out that moved some bytes is a short transfer; the caller continues it.
    bool moved(std::uint32_t error, std::uint32_t transferred) {
        adapter_->note(error);
        return error == 0 || (error == WIN_ERROR_SEM_TIMEOUT && transferred > 0);
    }

    std::shared_ptr<WinusbAdapter> adapter_;
};

}  // namespace

std::unique_ptr<UsbDevice> WinusbBackend::open(int index) {
    if (index < 0) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (const UsbDeviceEntry& entry : calls_.devices()) {
        if (is_adapter(entry)) {
            paths.push_back(entry.path);
        }
    }
    if (static_cast<std::size_t>(index) >= paths.size()) {
        return nullptr;
    }
    std::sort(paths.begin(), paths.end(),
              [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
    std::shared_ptr<WinusbAdapter> adapter = share(paths[static_cast<std::size_t>(index)]);
    return adapter != nullptr ? std::make_unique<WinusbDevice>(std::move(adapter)) : nullptr;
}

std::shared_ptr<WinusbAdapter> WinusbBackend::share(const std::string& path) {
    std::erase_if(adapters_, [](const std::weak_ptr<WinusbAdapter>& a) { return a.expired(); });
    for (const std::weak_ptr<WinusbAdapter>& weak : adapters_) {
        std::shared_ptr<WinusbAdapter> adapter = weak.lock();
        if (adapter != nullptr && adapter->serves(path)) {
            return adapter;
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
    for (const PipeEndpoint& endpoint : PIPE_ENDPOINTS) {
        const bool in = (endpoint.address & ENDPOINT_IN) != 0;
        if (calls_.set_pipe_timeout(handle, endpoint.address,
                                    in ? WINUSB_READ_TIMEOUT_MS : WINUSB_WRITE_TIMEOUT_MS) != 0) {
            return nullptr;  // a pipe without its time-out could block for ever
        }
    }
    adapters_.push_back(adapter);
    return adapter;
}

}  // namespace oscset::usb
