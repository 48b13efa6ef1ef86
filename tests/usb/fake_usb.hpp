#pragma once
// Two USB doubles. FakeUsb answers bulk transfers as the adapter protocol says (one answer
// byte per byte on pipes 2 and 3), logs them, and fails, shortens or holds them on request.
// ScriptedUsb expects an exact sequence of opens and control calls.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cables/usb/usb_device.hpp"

namespace oscset::usb::testing {

struct Write {
    std::uint32_t pipe;
    std::vector<std::uint8_t> bytes;  // the bytes the call moved
    bool operator==(const Write&) const = default;
};

// A string descriptor as the adapter answers it: length, type 3, one UTF-16LE unit per
// character.
std::array<std::uint8_t, STRING_ANSWER_SIZE> string_descriptor(std::string_view text);

class FakeUsb final : public UsbBackend {
  public:
    // --- settings; made before the transfers they change ---
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
    std::vector<Write> writes() const;
    std::vector<std::uint32_t> offered_writes() const;  // lengths offered per write call
    std::vector<std::uint32_t> reads() const;           // lengths asked per read call
    std::uint32_t reads_returned() const;               // read calls that have returned
    int live_handles() const;
    void clear_logs();

  private:
    friend class FakeDevice;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<std::uint8_t> pending_;  // answers not yet read
    std::vector<Write> writes_;
    std::vector<std::uint32_t> offered_;
    std::vector<std::uint32_t> reads_;
    std::uint32_t reads_returned_ = 0;
    int live_ = 0;
};

// One call that a scripted adapter expects ("open 0", "open at 1-2", "close",
// "vendor a0 7f92 0 1", "download 4096", "string 1 001b") and its answer: whether it succeeds
// (an open finds the adapter), what a string request reads, and where an open's handle says
// it is plugged in.
struct Step {
    std::string call;
    bool ok = true;
    std::optional<std::array<std::uint8_t, STRING_ANSWER_SIZE>> answer = {};
    std::string location = {};
};
// A string request answered with this text.
inline Step says(std::string call, std::string_view text) {
    return {std::move(call), true, string_descriptor(text)};
}

// Adapter `index` found running the firmware: its two strings read, then its read handle
// opened.
std::vector<Step> identified(int index);

// An adapter that expects exactly its script, in order: a call that the script does not
// expect next fails (and fails the test), and so does a step left over at its end. Bulk
// transfers are never expected.
class ScriptedUsb final : public UsbBackend {
  public:
    explicit ScriptedUsb(std::vector<Step> script) : script_(std::move(script)) {}
    ~ScriptedUsb();
    ScriptedUsb(const ScriptedUsb&) = delete;
    ScriptedUsb& operator=(const ScriptedUsb&) = delete;

    std::unique_ptr<UsbDevice> open(int index) override;
    std::unique_ptr<UsbDevice> open_at(const std::string& location) override;
    // The next step when it is `call`, else null.
    std::optional<Step> take(const std::string& call);
    int live_handles() const;
    std::vector<std::uint8_t> downloaded() const;

  private:
    friend class ScriptedDevice;
    std::unique_ptr<UsbDevice> opened(const std::string& call);

    mutable std::mutex mutex_;
    std::vector<Step> script_;
    std::size_t next_ = 0;
    int live_ = 0;
    std::vector<std::uint8_t> downloaded_;
};

// Scripts and call logs written as their parts, in order.
template <typename T>
std::vector<T> concat(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> all;
    for (const std::vector<T>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace oscset::usb::testing
