#pragma once
// A scripted USB backend: answers as the adapter protocol says (one answer byte per byte on
// pipes 2 and 3), logs every call, and fails, shortens or holds transfers on request.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cables/usb/usb_device.hpp"

namespace oscset::usb::testing {

struct Write {
    std::uint32_t pipe;
    std::vector<std::uint8_t> bytes;  // the bytes the call moved
    bool operator==(const Write&) const = default;
};

struct Strings {
    std::optional<std::string> manufacturer;  // nullopt: reading it fails
    std::optional<std::string> product;
};

inline const Strings ADAPTER_STRINGS{"USB_SPI", "V010"};

class FakeUsb final : public UsbBackend {
  public:
    // --- script; set before the cable opens ---
    std::vector<bool> presence;  // whether open number i finds the adapter
    bool present = true;         // for opens beyond the list
    Strings strings = ADAPTER_STRINGS;
    std::optional<Strings> strings_after_boot;  // taken on a successful run request
    std::optional<std::array<std::uint8_t, STRING_ANSWER_SIZE>> raw_string;
    bool refuse_halt = false;
    bool refuse_download = false;
    bool refuse_run = false;

    std::uint32_t write_limit = UINT32_MAX;  // bytes a bulk write moves per call, at most
    std::uint32_t read_limit = UINT32_MAX;
    int zero_writes = 0;             // next writes report success with 0 bytes (-1: all)
    int zero_reads = 0;              // next reads likewise
    int fail_writes_from = -1;       // write call number from which writes fail
    int fail_reads_from = -1;        // read call number from which reads fail
    bool overreport_writes = false;  // report one byte more than offered
    bool drop_answers = false;       // the device never answers
    bool hold_reads = false;         // reads wait until release_reads()
    // The answer byte for each byte that moved on pipe 2 or 3.
    std::function<std::uint8_t(std::uint32_t pipe, std::uint8_t byte)> answer =
        [](std::uint32_t pipe, std::uint8_t) -> std::uint8_t { return pipe == 3 ? 0x08 : 0x00; };

    std::unique_ptr<UsbDevice> open(int index) override;

    void release_reads();
    std::vector<std::string> calls() const;  // opens, closes, control calls, in order
    std::vector<Write> writes() const;
    std::vector<std::uint32_t> offered_writes() const;  // lengths offered per write call
    std::vector<std::uint32_t> reads() const;           // lengths asked per read call
    std::uint32_t reads_returned() const;               // read calls that have returned
    std::vector<std::uint8_t> downloaded() const;
    int live_handles() const;
    void clear_logs();

  private:
    friend class FakeDevice;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t opens_ = 0;
    bool booted_ = false;
    bool released_ = false;
    std::vector<std::uint8_t> pending_;  // answers not yet read
    std::vector<std::string> calls_;
    std::vector<Write> writes_;
    std::vector<std::uint32_t> offered_;
    std::vector<std::uint32_t> reads_;
    std::uint32_t reads_returned_ = 0;
    std::vector<std::uint8_t> downloaded_;
    int live_ = 0;
};

// Call logs written as their parts, in order.
inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace oscset::usb::testing
