#include "cables/usb/ezusb_driver.hpp"

#include <array>
#include <cstdio>

namespace oscset::usb {
namespace {

// Records are laid out byte by byte, little-endian, at the driver's offsets.
void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::array<std::uint8_t, PIPE_RECORD_SIZE> pipe_record(std::uint32_t pipe) {
    return {static_cast<std::uint8_t>(pipe), static_cast<std::uint8_t>(pipe >> 8),
            static_cast<std::uint8_t>(pipe >> 16), static_cast<std::uint8_t>(pipe >> 24)};
}

class EzusbDriverDevice final : public UsbDevice {
  public:
    EzusbDriverDevice(DriverCalls& calls, void* handle) : calls_(calls), handle_(handle) {}
    ~EzusbDriverDevice() override { calls_.close(handle_); }
    EzusbDriverDevice(const EzusbDriverDevice&) = delete;
    EzusbDriverDevice& operator=(const EzusbDriverDevice&) = delete;

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        std::array<std::uint8_t, VENDOR_REQUEST_RECORD_SIZE> record{};  // padding sent as 0
        record[0] = request;
        put16(&record[2], value);
        put16(&record[4], index);
        put16(&record[6], 1);  // one data byte
        record[8] = 0;         // host to device
        record[9] = data;
        std::uint32_t returned = 0;
        return calls_.control(handle_, IOCTL_EZUSB_VENDOR_REQUEST, record.data(), record.size(),
                              nullptr, 0, returned, DRIVER_CONTROL_TIMEOUT_MS);
    }

    bool download(std::span<const std::uint8_t> image) override {
        std::uint32_t returned = 0;
        return calls_.control(handle_, IOCTL_EZUSB_ANCHOR_DOWNLOAD, image.data(),
                              static_cast<std::uint32_t>(image.size()), nullptr, 0, returned,
                              DRIVER_CONTROL_TIMEOUT_MS);
    }

    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) override {
        std::array<std::uint8_t, STRING_REQUEST_RECORD_SIZE> record{};
        record[0] = index;
        put16(&record[2], language);
        std::uint32_t returned = 0;
        return calls_.control(handle_, IOCTL_EZUSB_GET_STRING, record.data(), record.size(),
                              answer.data(), static_cast<std::uint32_t>(answer.size()), returned,
                              DRIVER_CONTROL_TIMEOUT_MS);
    }

    // Both bulk codes use direct I/O: the data travel in the output buffer either way.
    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        const auto record = pipe_record(pipe);
        transferred = 0;
        return calls_.control(handle_, IOCTL_EZUSB_BULK_WRITE, record.data(), record.size(),
                              const_cast<std::uint8_t*>(data), length, transferred,
                              DRIVER_WRITE_TIMEOUT_MS);
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, DRIVER_READ_TIMEOUT_MS);
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, POLL_READ_MS);
    }

  private:
    bool read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t& transferred, std::uint32_t timeout_ms) {
        const auto record = pipe_record(pipe);
        transferred = 0;
        return calls_.control(handle_, IOCTL_EZUSB_BULK_READ, record.data(), record.size(), buffer,
                              length, transferred, timeout_ms);
    }

    DriverCalls& calls_;
    void* handle_;
};

}  // namespace

std::unique_ptr<UsbDevice> EzusbDriverBackend::open(int index) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\ezusb-%d", index);
    void* handle = calls_.open(path);
    if (handle == calls_.invalid()) {
        return nullptr;
    }
    return std::make_unique<EzusbDriverDevice>(calls_, handle);
}

}  // namespace oscset::usb
