#include "sim/wire/usbmon_capture.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace oscset::sim {
namespace {

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4;
constexpr std::uint16_t PCAP_MAJOR = 2;
constexpr std::uint16_t PCAP_MINOR = 4;
constexpr std::uint32_t SNAPLEN = 65535;
constexpr std::uint32_t LINKTYPE_USB_LINUX_MMAPPED = 220;
constexpr std::size_t RECORD_HEADER = 16;
constexpr std::size_t USBMON_HEADER = 64;
constexpr std::uint16_t BUS = 1;
constexpr std::uint8_t LAST_ADDRESS = 127;

constexpr std::uint8_t TRANSFER_INTERRUPT = 1;
constexpr std::uint8_t TRANSFER_CONTROL = 2;
constexpr std::uint8_t TRANSFER_BULK = 3;
constexpr std::uint8_t ENDPOINT_CONTROL_OUT = 0x00;
constexpr std::uint8_t ENDPOINT_CONTROL_IN = 0x80;
constexpr std::uint8_t SET_ADDRESS = 5;
constexpr std::uint32_t URB_DIR_IN = 0x200;

constexpr std::int32_t STATUS_IN_PROGRESS = -115;  // -EINPROGRESS, every submit
constexpr std::int32_t STATUS_STALL = -32;         // -EPIPE
constexpr std::int32_t STATUS_UNLINKED = -2;       // -ENOENT

constexpr std::uint64_t NS_PER_US = 1000;
constexpr std::uint64_t US_PER_S = 1'000'000;

template <std::size_t N>
void put(std::array<std::uint8_t, N>& at, std::size_t offset, std::uint64_t value,
         std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        at[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool is_in(std::uint8_t endpoint) {
    return (endpoint & usb::ENDPOINT_IN) != 0;
}

// What a completion carries: the bytes an IN received.
std::span<const std::uint8_t> received(std::uint8_t endpoint, std::uint32_t moved,
                                       std::span<const std::uint8_t> in_data) {
    return is_in(endpoint) ? in_data.first(std::min<std::size_t>(moved, in_data.size()))
                           : std::span<const std::uint8_t>{};
}

}  // namespace

// The URBs that the Linux backend submits for each call, around the call itself.
class UsbmonCapture::Device final : public usb::UsbDevice, private usb::ControlPipe {
  public:
    Device(UsbmonCapture& capture, std::unique_ptr<usb::UsbDevice> inner, std::uint8_t address)
        : capture_(capture), inner_(std::move(inner)), address_(address) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        const usb::ControlSetup setup{usb::REQUEST_VENDOR_OUT, request, value, index, 1};
        const std::array<std::uint8_t, 1> byte{data};
        const Urb urb{address_, TRANSFER_CONTROL, ENDPOINT_CONTROL_OUT, &setup, 1, byte};
        const std::uint64_t id = capture_.submit(urb);
        const bool ok = inner_->vendor_request(request, value, index, data);
        capture_.complete(id, urb, ok ? 0 : STATUS_STALL, ok ? 1 : 0);
        return ok;
    }

    bool download(std::span<const std::uint8_t> image) override {
        const std::uint64_t start = capture_.now();
        const bool ok = inner_->download(image);
        replay_ = {image, start, capture_.now(), 0, ok};
        usb::download_to_ram(*this, image);
        return ok;
    }

    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, usb::STRING_ANSWER_SIZE> answer) override {
        const usb::ControlSetup setup =
            usb::string_setup(index, language, static_cast<std::uint16_t>(answer.size()));
        const Urb urb{address_,
                      TRANSFER_CONTROL,
                      ENDPOINT_CONTROL_IN,
                      &setup,
                      static_cast<std::uint32_t>(answer.size()),
                      {}};
        const std::uint64_t id = capture_.submit(urb);
        const bool ok = inner_->get_string(index, language, answer);
        const std::uint32_t moved = ok ? std::min<std::uint32_t>(answer[0], answer.size()) : 0;
        capture_.complete(id, urb, ok ? 0 : STATUS_STALL, moved, answer);
        return ok;
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        return transfer(pipe, false, length, transferred, data,
                        [&] { return inner_->bulk_write(pipe, data, length, transferred); });
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return transfer(pipe, true, length, transferred, buffer,
                        [&] { return inner_->bulk_read(pipe, buffer, length, transferred); });
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return transfer(pipe, true, length, transferred, buffer,
                        [&] { return inner_->poll_read(pipe, buffer, length, transferred); });
    }

    std::string location() const override { return inner_->location(); }

  private:
    // One transfer of the download, stamped by its place in the bytes that the call moved.
    usb::ControlOutcome control(const usb::ControlSetup& setup, std::uint8_t* data) override {
        const bool in = (setup.type & usb::ENDPOINT_IN) != 0;
        const std::span<const std::uint8_t> image = replay_.image;
        const std::size_t from = std::min<std::size_t>(setup.value, image.size());
        const auto chunk =
            image.subspan(from, std::min<std::size_t>(setup.length, image.size() - from));
        replay_.moved += setup.length;
        const std::uint64_t ns = replay_.start + (replay_.end - replay_.start) * replay_.moved /
                                                     std::max<std::size_t>(2 * image.size(), 1);
        const Urb urb{address_, TRANSFER_CONTROL, in ? ENDPOINT_CONTROL_IN : ENDPOINT_CONTROL_OUT,
                      &setup,   setup.length,     in ? std::span<const std::uint8_t>{} : chunk};
        if (!replay_.ok) {
            capture_.record_at(replay_.end, urb, STATUS_STALL, 0, {});
            return usb::ControlOutcome::FAILED;
        }
        if (in) {
            std::copy(chunk.begin(), chunk.end(), data);  // what the core returns: the image
        }
        capture_.record_at(ns, urb, 0, static_cast<std::uint32_t>(chunk.size()), chunk);
        return usb::ControlOutcome::DONE;
    }

    template <typename Call>
    bool transfer(std::uint32_t pipe, bool in, std::uint32_t length, std::uint32_t& transferred,
                  const std::uint8_t* data, Call call) {
        const std::optional<usb::PipeEndpoint> endpoint = usb::pipe_endpoint(pipe, in);
        if (!endpoint) {
            return call();  // no endpoint: the backend refuses it without a URB
        }
        Urb urb{address_,
                endpoint->interrupt ? TRANSFER_INTERRUPT : TRANSFER_BULK,
                endpoint->address,
                nullptr,
                length,
                {}};
        if (!in && data != nullptr) {
            urb.out_data = {data, length};
        }
        const std::uint64_t id = capture_.submit(urb);
        const bool ok = call();
        capture_.complete(id, urb, ok ? 0 : STATUS_UNLINKED, transferred,
                          in && data != nullptr ? std::span<const std::uint8_t>{data, transferred}
                                                : std::span<const std::uint8_t>{});
        return ok;
    }

    UsbmonCapture& capture_;
    std::unique_ptr<usb::UsbDevice> inner_;
    const std::uint8_t address_;
    // The download call, replayed as the backend's control transfers (written, then read
    // back) over its time.
    struct Replay {
        std::span<const std::uint8_t> image;
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::size_t moved = 0;  // bytes of the transfers so far
        bool ok = false;
    } replay_;
};

UsbmonCapture::UsbmonCapture(usb::UsbBackend& backend, const char* path, Clock clock)
    : backend_(backend), path_(path), clock_(std::move(clock)), file_(std::fopen(path, "wb")) {
    if (!file_) {
        return;
    }
    std::array<std::uint8_t, 24> header{};
    put(header, 0, PCAP_MAGIC, 4);
    put(header, 4, PCAP_MAJOR, 2);
    put(header, 6, PCAP_MINOR, 2);
    put(header, 16, SNAPLEN, 4);
    put(header, 20, LINKTYPE_USB_LINUX_MMAPPED, 4);
    std::fwrite(header.data(), 1, header.size(), file_.get());
}

UsbmonCapture::~UsbmonCapture() = default;

bool UsbmonCapture::ok() {
    std::lock_guard lock(mutex_);
    return file_ && std::fflush(file_.get()) == 0 && !std::ferror(file_.get());
}

std::uint64_t UsbmonCapture::now() {
    if (clock_) {
        return clock_();
    }
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now() - started_)
                                          .count());
}

std::unique_ptr<usb::UsbDevice> UsbmonCapture::open(int index) {
    std::unique_ptr<usb::UsbDevice> inner = backend_.open(index);
    std::lock_guard lock(mutex_);
    if (!inner) {
        // What the host found at this index is gone, as far as it can tell.
        if (const auto at = found_at_.find(index); at != found_at_.end()) {
            slots_[at->second].away = true;
        }
        return nullptr;
    }
    std::string where = inner->location();
    if (where.empty()) {
        where = "adapter " + std::to_string(index);
    }
    found_at_[index] = where;
    return attach(std::move(inner), where);
}

std::unique_ptr<usb::UsbDevice> UsbmonCapture::open_at(const std::string& location) {
    std::unique_ptr<usb::UsbDevice> inner = backend_.open_at(location);
    std::lock_guard lock(mutex_);
    if (!inner) {
        slots_[location].away = true;
        return nullptr;
    }
    return attach(std::move(inner), location);
}

std::unique_ptr<usb::UsbDevice> UsbmonCapture::attach(std::unique_ptr<usb::UsbDevice> inner,
                                                      const std::string& where) {
    Slot& slot = slots_[where];
    if (slot.address == 0 || slot.away) {
        const std::uint8_t address = next_address_;
        next_address_ = next_address_ == LAST_ADDRESS ? FIRST_ADDRESS : next_address_ + 1;
        if (slot.away) {
            // Back on the bus: the host gives it a new address.
            const usb::ControlSetup setup{0, SET_ADDRESS, address, 0, 0};
            const Urb urb{0, TRANSFER_CONTROL, ENDPOINT_CONTROL_OUT, &setup, 0, {}};
            const std::uint64_t ns = now();
            const std::uint64_t id = next_id_++;
            write_record(ns, 'S', id, urb, STATUS_IN_PROGRESS, 0, {});
            write_record(ns, 'C', id, urb, 0, 0, {});
        }
        slot = Slot{address, false};
    }
    return std::make_unique<Device>(*this, std::move(inner), slot.address);
}

// The time is read under the lock, so that the file's records are in time order.
std::uint64_t UsbmonCapture::submit(const Urb& urb) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_id_++;
    write_record(now(), 'S', id, urb, STATUS_IN_PROGRESS, urb.length, urb.out_data);
    return id;
}

void UsbmonCapture::complete(std::uint64_t id, const Urb& urb, std::int32_t status,
                             std::uint32_t moved, std::span<const std::uint8_t> in_data) {
    std::lock_guard lock(mutex_);
    write_record(now(), 'C', id, urb, status, moved, received(urb.endpoint, moved, in_data));
}

void UsbmonCapture::record_at(std::uint64_t ns, const Urb& urb, std::int32_t status,
                              std::uint32_t moved, std::span<const std::uint8_t> in_data) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_id_++;
    write_record(ns, 'S', id, urb, STATUS_IN_PROGRESS, urb.length, urb.out_data);
    write_record(ns, 'C', id, urb, status, moved, received(urb.endpoint, moved, in_data));
}

void UsbmonCapture::write_record(std::uint64_t ns, char type, std::uint64_t id, const Urb& urb,
                                 std::int32_t status, std::uint32_t length,
                                 std::span<const std::uint8_t> data) {
    if (!file_) {
        return;
    }
    const auto captured =
        static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), SNAPLEN - USBMON_HEADER));
    const std::uint64_t us = ns / NS_PER_US;
    const bool in = is_in(urb.endpoint);
    std::array<std::uint8_t, RECORD_HEADER + USBMON_HEADER> h{};
    put(h, 0, us / US_PER_S, 4);
    put(h, 4, us % US_PER_S, 4);
    put(h, 8, USBMON_HEADER + captured, 4);
    put(h, 12, USBMON_HEADER + std::min<std::size_t>(data.size(), UINT32_MAX - USBMON_HEADER), 4);
    const std::size_t m = RECORD_HEADER;  // the usbmon header
    put(h, m + 0, id, 8);
    h[m + 8] = static_cast<std::uint8_t>(type);
    h[m + 9] = urb.transfer_type;
    h[m + 10] = urb.endpoint;
    h[m + 11] = urb.device;
    put(h, m + 12, BUS, 2);
    const bool setup = type == 'S' && urb.setup != nullptr;
    h[m + 14] = setup ? 0 : '-';
    // No data: an IN's submit ('<') and an OUT's completion ('>') carry none.
    h[m + 15] = captured > 0 ? 0 : type == 'S' ? (in ? '<' : 0) : (in ? 0 : '>');
    put(h, m + 16, us / US_PER_S, 8);
    put(h, m + 24, us % US_PER_S, 4);
    put(h, m + 28, static_cast<std::uint32_t>(status), 4);
    put(h, m + 32, length, 4);
    put(h, m + 36, captured, 4);
    if (setup) {
        h[m + 40] = urb.setup->type;
        h[m + 41] = urb.setup->request;
        put(h, m + 42, urb.setup->value, 2);
        put(h, m + 44, urb.setup->index, 2);
        put(h, m + 46, urb.setup->length, 2);
    }
    put(h, m + 56, in ? URB_DIR_IN : 0, 4);
    std::fwrite(h.data(), 1, h.size(), file_.get());
    if (captured > 0) {
        std::fwrite(data.data(), 1, captured, file_.get());
    }
}

}  // namespace oscset::sim
