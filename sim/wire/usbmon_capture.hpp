#pragma once
// usbmon on the adapter's bus: a USB backend in front of another that passes every call on
// and writes the URBs that the Linux backend (libusb) submits for it, each as a submit and a
// complete record, to a pcap file of link type 220 (Linux usbmon, 64-byte headers) that
// Wireshark and tshark read:
//   vendor_request  a control OUT with its setup packet and data byte
//   download        the 0xA0 writes and read-backs of cables/usb's download, spread over the
//                   call's time
//   get_string      GET_DESCRIPTOR (string), a control IN
//   bulk_*          a bulk (or interrupt) URB on the pipe's endpoint
// A failed control completes with -EPIPE (a stall), a failed bulk transfer with -ENOENT (the
// host gave up on it). A device that leaves the bus (an open finds nothing where it was) and
// comes back takes the next address: the host's SET_ADDRESS to device 0 marks its return.
//
// Time comes from `clock` (nanoseconds), by default the host's steady clock from the start of
// the capture. Records are written as the calls happen, from any thread.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "cables/usb/usb_device.hpp"
#include "cables/usb/usb_requests.hpp"

namespace oscset::sim {

class UsbmonCapture final : public usb::UsbBackend {
  public:
    using Clock = std::function<std::uint64_t()>;

    // When the file cannot be created the calls only pass on.
    UsbmonCapture(usb::UsbBackend& backend, const char* path, Clock clock = {});
    ~UsbmonCapture();
    UsbmonCapture(const UsbmonCapture&) = delete;
    UsbmonCapture& operator=(const UsbmonCapture&) = delete;

    // False when the file could not be created or a write to it failed; flushes it first.
    bool ok();
    const std::string& path() const { return path_; }

    std::unique_ptr<usb::UsbDevice> open(int index) override;
    std::unique_ptr<usb::UsbDevice> open_at(const std::string& location) override;

    class Device;

  private:
    friend class Device;

    // One URB as the host submits it.
    struct Urb {
        std::uint8_t device = 0;
        std::uint8_t transfer_type = 0;  // 1 interrupt, 2 control, 3 bulk
        std::uint8_t endpoint = 0;       // bit 7: IN
        const usb::ControlSetup* setup = nullptr;
        std::uint32_t length = 0;                // asked for
        std::span<const std::uint8_t> out_data;  // what an OUT carries
    };
    // An adapter as the host sees it, by where it is plugged in.
    struct Slot {
        std::uint8_t address = 0;  // 0: never seen
        bool away = false;         // an open found nothing there
    };
    // A handle on the adapter at `where`, with its address; with the lock held.
    std::unique_ptr<usb::UsbDevice> attach(std::unique_ptr<usb::UsbDevice> inner,
                                           const std::string& where);
    std::uint64_t now();
    // Writes the submit record now and returns the URB's id.
    std::uint64_t submit(const Urb& urb);
    // Writes the complete record now: `moved` bytes, for an IN the first `moved` of `in_data`.
    void complete(std::uint64_t id, const Urb& urb, std::int32_t status, std::uint32_t moved,
                  std::span<const std::uint8_t> in_data = {});
    // Both records of a URB at `ns`: one of several transfers inside one call.
    void record_at(std::uint64_t ns, const Urb& urb, std::int32_t status, std::uint32_t moved,
                   std::span<const std::uint8_t> in_data);
    // With the lock held.
    void write_record(std::uint64_t ns, char type, std::uint64_t id, const Urb& urb,
                      std::int32_t status, std::uint32_t length,
                      std::span<const std::uint8_t> data);

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    usb::UsbBackend& backend_;
    const std::string path_;
    Clock clock_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint64_t next_id_ = 1;
    static constexpr std::uint8_t FIRST_ADDRESS = 2;  // the root hub is 1
    std::uint8_t next_address_ = FIRST_ADDRESS;
    std::map<std::string, Slot> slots_;    // by location
    std::map<int, std::string> found_at_;  // where the last open of each index found one
};

}  // namespace oscset::sim
