// A whole run of the program on the simulated board, where the adapter answers as the input
// says: its own answers, bytes of the input, short answers, no answer or errors. Whatever it
// answers, the program ends with 0 or -1 and reads nothing out of bounds; and unless the
// adapter passed off bytes of the input as the board's answers (which can spell a lock as
// well as anything else), it never reports a frequency as set that the board's synthesiser
// did not lock to.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "cables/usb/usb_device.hpp"
#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "sim/app/sim_hardware.hpp"
#include "sim/usb/faulty_usb.hpp"

namespace {

using namespace oscset;

// What the adapter does with one bulk call, by the input's next byte; once the input is
// used up it answers as itself.
enum class Answer : std::uint8_t { own, error, short_answer, nothing, input_bytes, kinds };

class Script {
  public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    Answer next() {
        std::lock_guard lock(mutex_);
        if (at_ >= size_) {
            return Answer::own;
        }
        return static_cast<Answer>(data_[at_++] % static_cast<std::uint8_t>(Answer::kinds));
    }
    std::uint32_t number(std::uint32_t below) {
        std::lock_guard lock(mutex_);
        return at_ < size_ && below > 0 ? data_[at_++] % below : 0;
    }
    void fill(std::uint8_t* buffer, std::uint32_t length) {
        std::lock_guard lock(mutex_);
        for (std::uint32_t i = 0; i < length; ++i) {
            buffer[i] = at_ < size_ ? data_[at_++] : 0;
        }
        forged_ = forged_ || length > 0;
    }
    bool forged() {
        std::lock_guard lock(mutex_);
        return forged_;
    }

  private:
    std::mutex mutex_;  // the reader thread and the writer both ask
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool forged_ = false;
};

class ScriptedDevice final : public sim::ForwardingDevice {
  public:
    ScriptedDevice(std::unique_ptr<usb::UsbDevice> inner, Script& script)
        : ForwardingDevice(std::move(inner)), script_(script) {}

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        switch (script_.next()) {
            case Answer::error:
                return false;
            case Answer::short_answer:
                return ForwardingDevice::bulk_write(pipe, data, script_.number(length + 1),
                                                    transferred);
            case Answer::nothing:
                return true;
            default:
                return ForwardingDevice::bulk_write(pipe, data, length, transferred);
        }
    }
    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, false);
    }
    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, true);
    }

  private:
    bool read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t& transferred, bool poll) {
        transferred = 0;
        const auto own = [&](std::uint32_t n) {
            return poll ? ForwardingDevice::poll_read(pipe, buffer, n, transferred)
                        : ForwardingDevice::bulk_read(pipe, buffer, n, transferred);
        };
        switch (script_.next()) {
            case Answer::error:
                return false;
            case Answer::short_answer:
                return own(script_.number(length + 1));
            case Answer::nothing:
                return true;
            case Answer::input_bytes: {
                const bool ok = own(length);
                script_.fill(buffer, transferred);
                return ok;
            }
            default:
                return own(length);
        }
    }

    Script& script_;
};

class ScriptedAdapter final : public usb::UsbBackend {
  public:
    ScriptedAdapter(usb::UsbBackend& inner, Script& script) : inner_(inner), script_(script) {}
    std::unique_ptr<usb::UsbDevice> open(int index) override {
        auto device = inner_.open(index);
        return device ? std::make_unique<ScriptedDevice>(std::move(device), script_) : nullptr;
    }

  private:
    usb::UsbBackend& inner_;
    Script& script_;
};

const std::string PROMPT = "input frequency(EX. 10.2K or 66M). ";
const char* const FREQUENCIES[] = {"10M", "12.3M"};
const char* const LOCKED[] = {"synth locked 10000000.000 Hz", "synth locked 12300000.000 Hz"};

// The frequencies that the output reports as set: result lines, then the next prompt (or, in
// argument mode, exit 0).
std::size_t reported_set(const std::string& output, bool argument_mode, int code) {
    if (argument_mode) {
        return code == 0 && output.find("div_a=") != std::string::npos ? 1 : 0;
    }
    std::size_t reported = 0;
    std::size_t at = output.find(PROMPT);
    while (at != std::string::npos) {
        const std::size_t next = output.find(PROMPT, at + PROMPT.size());
        if (next != std::string::npos &&
            output.substr(at, next - at).find("Error ") != std::string::npos) {
            ++reported;
        }
        at = next;
    }
    return reported;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Waits keep their order but not their length.
    static platform::SimulatedTime time(1000);
    if (size == 0) {
        return 0;
    }
    const bool argument_mode = (data[0] & 1) != 0;
    Script script(data + 1, size - 1);

    sim::SimDescription description;
    description.adapter = sim::AdapterKind::READY;
    sim::SimHardware hardware(description);
    ScriptedAdapter adapter(*hardware.usb(), script);
    usb::set_usb_backend(&adapter);

    const std::string conversation = std::string(FREQUENCIES[0]) + "\n" + FREQUENCIES[1] + "\n\n";
    std::FILE* input = fmemopen(const_cast<char*>(conversation.data()), conversation.size(), "r");
    const char* argv_argument[] = {"oscset", FREQUENCIES[0]};
    const char* argv_conversation[] = {"oscset"};
    int code = 0;
    std::string output;
    {
        frontend::HardwareClockBoard board({.system_file = "", .accept_placeholder = true});
        platform::ConsoleCapture console;
        code = argument_mode
                   ? frontend::oscset_main(2, argv_argument, input, board)
                   : frontend::oscset_main(1, argv_conversation, input, board);
        output = console.text();
    }
    std::fclose(input);
    sim::reset_program_state();

    if (code != 0 && code != -1) {
        std::abort();
    }
    if (script.forged()) {
        return 0;
    }
    std::vector<std::string> locked;
    for (const std::string& event : hardware.board().events()) {
        if (event.rfind("synth locked", 0) == 0) {
            locked.push_back(event);
        }
    }
    const std::size_t reported = reported_set(output, argument_mode, code);
    if (reported > locked.size()) {
        std::abort();  // a frequency reported as set that the synthesiser never locked to
    }
    for (std::size_t i = 0; i < reported; ++i) {
        if (locked[i] != LOCKED[i]) {
            std::abort();
        }
    }
    if (code == 0 && reported != (argument_mode ? 1u : 2u)) {
        std::abort();
    }
    return 0;
}
