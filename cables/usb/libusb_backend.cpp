#include "cables/usb/libusb_backend.hpp"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "cables/usb/ezusb.hpp"
#include "cables/usb/usb_requests.hpp"
#include "platform/console.hpp"

namespace oscset::usb {
namespace {

constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
constexpr unsigned WRITE_TIMEOUT_MS = 5000;
// Longer than the reader's hand-over wait, so that an exchange reports a missing answer
// before the read itself gives up; it also bounds how long closing waits for the reader.
constexpr unsigned READ_TIMEOUT_MS = 6000;
constexpr int ADAPTER_INTERFACE = 0;
constexpr const char* UDEV_RULE = "cables/usb/60-oscset-adapter.rules";

// Bus and port path ("1-4.2"): the port does not change when the firmware renumerates the
// adapter, its device number does. Empty when libusb cannot tell the ports.
std::string location_of(libusb_device* device) {
    std::array<std::uint8_t, 7> ports{};  // USB hubs nest seven deep at most
    const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    if (depth <= 0) {
        return {};
    }
    std::string text = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i) {
        text += (i == 0 ? '-' : '.') + std::to_string(ports[static_cast<std::size_t>(i)]);
    }
    return text;
}

bool is_adapter(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           descriptor.idVendor == ADAPTER_VENDOR_ID && descriptor.idProduct == ADAPTER_PRODUCT_ID;
}

// Owns the libusb context; every open handle keeps it alive.
struct Context {
    libusb_context* context = nullptr;
    ~Context() {
        if (context != nullptr) {
            libusb_exit(context);
        }
    }
};

// One libusb handle per adapter, shared by all UsbDevice handles to it: usbfs lets one
// process claim an interface only once.
class SharedHandle {
  public:
    SharedHandle(std::shared_ptr<Context> context, libusb_device_handle* handle)
        : context_(std::move(context)), handle_(handle) {}
    ~SharedHandle() {
        if (claimed_) {
            libusb_release_interface(handle_, ADAPTER_INTERFACE);
        }
        libusb_close(handle_);
    }
    SharedHandle(const SharedHandle&) = delete;
    SharedHandle& operator=(const SharedHandle&) = delete;

    libusb_device_handle* get() const { return handle_; }
    libusb_device* device() const { return libusb_get_device(handle_); }

    // Bulk pipes need the interface; claimed at the first bulk transfer.
    bool claim() {
        std::lock_guard lock(mutex_);
        if (claimed_) {
            return true;
        }
        const int rc = libusb_claim_interface(handle_, ADAPTER_INTERFACE);
        claimed_ = rc == 0;
        if (!claimed_ && !busy_reported_ && rc == LIBUSB_ERROR_BUSY) {
            busy_reported_ = true;
            platform::console_printf("USB adapter: its interface is in use by another program\n");
        }
        return claimed_;
    }

  private:
    std::shared_ptr<Context> context_;
    libusb_device_handle* handle_;
    std::mutex mutex_;
    bool claimed_ = false;
    bool busy_reported_ = false;
};

class LibusbDevice final : public UsbDevice, private ControlPipe {
  public:
    explicit LibusbDevice(std::shared_ptr<SharedHandle> shared) : shared_(std::move(shared)) {}

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
        const int rc = libusb_get_string_descriptor(shared_->get(), index, language, answer.data(),
                                                    static_cast<int>(answer.size()));
        return rc >= 2;  // at least the descriptor's length and type
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        // libusb takes a mutable pointer for both directions; an OUT transfer only reads it.
        return transfer(pipe, false, const_cast<std::uint8_t*>(data), length, transferred,
                        WRITE_TIMEOUT_MS);
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return transfer(pipe, true, buffer, length, transferred, READ_TIMEOUT_MS);
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return transfer(pipe, true, buffer, length, transferred, POLL_READ_MS);
    }

    std::string location() const override { return location_of(shared_->device()); }

  private:
    ControlOutcome control(const ControlSetup& setup, std::uint8_t* data) override {
        const int rc =
            libusb_control_transfer(shared_->get(), setup.type, setup.request, setup.value,
                                    setup.index, data, setup.length, CONTROL_TIMEOUT_MS);
        if (rc == setup.length) {
            return ControlOutcome::DONE;
        }
        // What an adapter leaving in the middle of a request shows: a stall, a broken
        // transfer, or no device.
        return rc == LIBUSB_ERROR_IO || rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_PIPE
                   ? ControlOutcome::GONE
                   : ControlOutcome::FAILED;
    }

    bool transfer(std::uint32_t pipe, bool in, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t& transferred, unsigned timeout_ms) {
        transferred = 0;
        const std::optional<PipeEndpoint> found = pipe_endpoint(pipe, in);
        if (!found || length > INT_MAX || !shared_->claim()) {
            return false;
        }
        const PipeEndpoint endpoint = *found;
        int moved = 0;
        const int rc = endpoint.interrupt
                           ? libusb_interrupt_transfer(shared_->get(), endpoint.address, data,
                                                       static_cast<int>(length), &moved, timeout_ms)
                           : libusb_bulk_transfer(shared_->get(), endpoint.address, data,
                                                  static_cast<int>(length), &moved, timeout_ms);
        transferred = static_cast<std::uint32_t>(std::max(moved, 0));
        // A time-out that moved some bytes is a short transfer; the caller continues it.
        return rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && moved > 0);
    }

    std::shared_ptr<SharedHandle> shared_;
};

class LibusbBackend final : public UsbBackend {
  public:
    std::unique_ptr<UsbDevice> open(int index) override {
        int seen = 0;
        return open_first([&](libusb_device*) { return seen++ == index; }, index >= 0);
    }

    std::unique_ptr<UsbDevice> open_at(const std::string& location) override {
        return open_first([&](libusb_device* device) { return location_of(device) == location; },
                          !location.empty());
    }

  private:
    // The first adapter on the list that `wanted` takes.
    template <typename Wanted>
    std::unique_ptr<UsbDevice> open_first(Wanted wanted, bool valid) {
        std::lock_guard lock(mutex_);
        if (!valid || !start()) {
            return nullptr;
        }
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_->context, &list);
        if (count < 0) {
            return nullptr;
        }
        std::shared_ptr<SharedHandle> shared;
        for (ssize_t i = 0; i < count; ++i) {
            if (is_adapter(list[i]) && wanted(list[i])) {
                shared = share(list[i]);
                break;
            }
        }
        libusb_free_device_list(list, 1);
        return shared != nullptr ? std::make_unique<LibusbDevice>(std::move(shared)) : nullptr;
    }

    bool start() {
        if (!started_) {
            started_ = true;
            auto context = std::make_shared<Context>();
            if (libusb_init(&context->context) == 0) {
                context_ = std::move(context);
            } else {
                context->context = nullptr;  // a failed init leaves nothing to exit
            }
        }
        return context_ != nullptr;
    }

    std::shared_ptr<SharedHandle> share(libusb_device* device) {
        for (auto it = handles_.begin(); it != handles_.end();) {
            std::shared_ptr<SharedHandle> handle = it->lock();
            if (handle == nullptr) {
                it = handles_.erase(it);
                continue;
            }
            if (handle->device() == device) {
                return handle;
            }
            ++it;
        }
        libusb_device_handle* raw = nullptr;
        const int rc = libusb_open(device, &raw);
        if (rc == LIBUSB_ERROR_ACCESS) {
            report_access_denied();
            return nullptr;
        }
        if (rc != 0) {
            return nullptr;
        }
        libusb_set_auto_detach_kernel_driver(raw, 1);
        auto handle = std::make_shared<SharedHandle>(context_, raw);
        handles_.push_back(handle);
        return handle;
    }

    // Once: right after a boot the new device node may still be root-only for a moment.
    void report_access_denied() {
        if (access_reported_) {
            return;
        }
        access_reported_ = true;
        platform::console_printf(
            "USB adapter %04x:%04x: access denied; install %s into /etc/udev/rules.d/ "
            "(see README)\n",
            ADAPTER_VENDOR_ID, ADAPTER_PRODUCT_ID, UDEV_RULE);
    }

    std::mutex mutex_;
    bool started_ = false;
    std::shared_ptr<Context> context_;
    std::vector<std::weak_ptr<SharedHandle>> handles_;
    bool access_reported_ = false;
};

}  // namespace

UsbBackend& libusb_backend() {
    static LibusbBackend backend;
    return backend;
}

}  // namespace oscset::usb
