#include "sim/usb/sim_adapter.hpp"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/time.hpp"

namespace oscset::sim {
namespace {

constexpr std::uint8_t LOAD_REQUEST = 0xA0;
constexpr std::uint16_t CPUCS = 0x7F92;
constexpr std::size_t IMAGE_SIZE = 4096;
constexpr std::uint8_t LONG_JUMP = 0x02;
constexpr std::uint32_t PIPE_BYTE_MODE = 1;
constexpr std::uint32_t PIPE_BYTE_MODE_ANSWERED = 2;
constexpr std::uint32_t PIPE_COMMAND = 3;
constexpr std::uint32_t PIPE_ANSWER = 5;
// Answers the host has not read yet; the firmware's IN side would stall beyond this.
constexpr std::size_t ANSWER_CAPACITY = 0x10000;
// How long a bulk read waits for an answer before the (simulated) host gives up.
constexpr std::uint32_t READ_TIMEOUT_MS = 6000;
// What an interrupted exchange left: the answers to two probe bytes, in one packet.
constexpr std::uint8_t STALE_ANSWER = 0x0E;
constexpr std::size_t STALE_PACKET = 2;

// Port C bits as the firmware reads them back.
constexpr std::uint8_t PC_TDO = 0x01;
constexpr std::uint8_t PC_TCK = 0x02;
constexpr std::uint8_t PC_TMS = 0x04;
constexpr std::uint8_t PC_TVCC = 0x08;
// Per-clock byte.
constexpr std::uint8_t BYTE_TDI = 0x20;
constexpr std::uint8_t BYTE_TMS = 0x04;
constexpr std::uint8_t BYTE_TCK = 0x02;

constexpr std::string_view STRINGS[] = {"", "USB_SPI", "V010"};

}  // namespace

struct SimAdapter::State {
    State(JtagPort& p, SimAdapterConfig c) : port(p), config(c) {
        answers.resize(ANSWER_CAPACITY);
        running = c.mode == SimAdapterMode::RUNNING || c.stale_answer;
        if (c.stale_answer) {
            for (std::size_t i = 0; i < STALE_PACKET; ++i) {
                push_answer(STALE_ANSWER);
            }
            stale_bytes = STALE_PACKET;
        }
    }

    JtagPort& port;
    const SimAdapterConfig config;
    mutable std::mutex mutex;
    std::condition_variable answered;
    std::uint64_t generation = 0;  // changes when the adapter drops off the bus
    bool running = false;          // the firmware runs (and the device is its device)
    bool halted = false;
    bool image_loaded = false;
    int offline_left = 0;
    bool tms = false;  // TMS as last driven: byte mode holds it
    std::vector<std::uint8_t> answers;
    std::size_t answer_head = 0;
    std::size_t answer_count = 0;
    // Answers at the head that form one packet of their own: a read shorter than it fails.
    std::size_t stale_bytes = 0;
    bool unplugged = false;
    int live_handles = 0;
    SimAdapterCounts counts;

    void push_answer(std::uint8_t value) {
        answers[(answer_head + answer_count) % answers.size()] = value;
        ++answer_count;
    }

    std::uint8_t port_c(bool tdo) const {
        return static_cast<std::uint8_t>((tdo ? PC_TDO : 0) | PC_TCK | (tms ? PC_TMS : 0) |
                                         (port.target_power() ? PC_TVCC : 0));
    }

    void command_byte(std::uint8_t value) {
        const bool tdi = (value & BYTE_TDI) != 0;
        tms = (value & BYTE_TMS) != 0;
        bool tdo = false;
        if ((value & BYTE_TCK) != 0) {
            port.drive(true, tdi, tms);  // TCK already high: levels only
            tdo = port.tdo();
        } else {
            tdo = port.clock(tdi, tms);
            ++counts.clocks;
        }
        push_answer(port_c(tdo));
    }

    // Eight clocks, TDI from bit 0 up, TMS held.
    std::uint8_t byte_mode(std::uint8_t value) {
        std::uint8_t levels = 0;
        for (unsigned k = 0; k < 8; ++k) {
            if (port.clock(((value >> k) & 1U) != 0, tms)) {
                levels = static_cast<std::uint8_t>(levels | (1U << k));
            }
        }
        counts.clocks += 8;
        return levels;
    }

    void release_cpu() {
        halted = false;
        if (!image_loaded) {
            return;  // no program: the chip stays the default device
        }
        // The firmware disconnects and enumerates again as its own device.
        running = true;
        ++generation;
        offline_left =
            config.mode == SimAdapterMode::NEVER_RETURNS ? INT_MAX : config.offline_opens;
        answer_head = answer_count = 0;
        stale_bytes = 0;
        answered.notify_all();
    }

    // Takes `n` answers from the head into `buffer`.
    void take_answers(std::uint8_t* buffer, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (buffer != nullptr) {
                buffer[i] = answers[answer_head];
            }
            answer_head = (answer_head + 1) % answers.size();
        }
        answer_count -= n;
        stale_bytes -= std::min(stale_bytes, n);
        counts.bytes_read += n;
    }
};

namespace {

class SimDevice final : public usb::UsbDevice {
  public:
    explicit SimDevice(std::shared_ptr<SimAdapter::State> state)
        : state_(std::move(state)), generation_(state_->generation) {
        ++state_->live_handles;
    }
    ~SimDevice() override {
        std::lock_guard lock(state_->mutex);
        --state_->live_handles;
    }

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        std::lock_guard lock(state_->mutex);
        ++state_->counts.vendor_requests;
        if (!on_bus() || request != LOAD_REQUEST || value != CPUCS || index != 0 || data > 1) {
            return false;
        }
        if (data == 1) {
            state_->halted = true;
            state_->running = false;
        } else {
            state_->release_cpu();
        }
        return true;
    }

    bool download(std::span<const std::uint8_t> image) override {
        std::lock_guard lock(state_->mutex);
        ++state_->counts.downloads;
        if (!on_bus() || !state_->halted ||
            state_->config.mode == SimAdapterMode::REFUSES_DOWNLOAD) {
            return false;
        }
        state_->image_loaded = image.size() == IMAGE_SIZE && image[0] == LONG_JUMP;
        return state_->image_loaded;
    }

    bool get_string(std::uint8_t index, std::uint16_t,
                    std::span<std::uint8_t, usb::STRING_ANSWER_SIZE> answer) override {
        std::lock_guard lock(state_->mutex);
        // A blank chip's default device has no strings.
        if (!on_bus() || !state_->running || index >= std::size(STRINGS)) {
            return false;
        }
        std::fill(answer.begin(), answer.end(), std::uint8_t{0});
        if (index == 0) {
            answer[0] = 4;
            answer[1] = 3;
            answer[2] = 0x09;  // language 0x0409
            answer[3] = 0x04;
            return true;
        }
        const std::string_view text = STRINGS[index];
        answer[0] = static_cast<std::uint8_t>(2 + 2 * text.size());
        answer[1] = 3;
        for (std::size_t k = 0; k < text.size(); ++k) {
            answer[2 + 2 * k] = static_cast<std::uint8_t>(text[k]);
        }
        return true;
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        std::lock_guard lock(state_->mutex);
        if (!firmware_ready() || pipe < PIPE_BYTE_MODE || pipe > PIPE_COMMAND) {
            return false;
        }
        ++state_->counts.write_calls[pipe];
        std::uint32_t accepted = length;
        if (pipe != PIPE_BYTE_MODE) {
            // Answers not yet read hold the endpoint: take only what can be answered.
            accepted = static_cast<std::uint32_t>(
                std::min<std::size_t>(length, state_->answers.size() - state_->answer_count));
        }
        for (std::uint32_t i = 0; i < accepted; ++i) {
            if (pipe == PIPE_COMMAND) {
                state_->command_byte(data[i]);
            } else {
                const std::uint8_t levels = state_->byte_mode(data[i]);
                if (pipe == PIPE_BYTE_MODE_ANSWERED) {
                    state_->push_answer(levels);
                }
            }
        }
        state_->counts.bytes_written[pipe] += accepted;
        transferred = accepted;
        if (pipe != PIPE_BYTE_MODE && accepted > 0) {
            state_->answered.notify_all();
        }
        return true;
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, READ_TIMEOUT_MS);
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, usb::POLL_READ_MS);
    }

  private:
    bool read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t& transferred, std::uint32_t timeout_ms) {
        transferred = 0;
        std::unique_lock lock(state_->mutex);
        ++state_->counts.read_calls;
        if (!firmware_ready() || pipe != PIPE_ANSWER) {
            return false;
        }
        state_->answered.wait_for(lock, platform::wait_limit(timeout_ms),
                                  [this] { return state_->answer_count > 0 || !on_bus(); });
        if (!firmware_ready() || state_->answer_count == 0) {
            return false;  // timed out, or the adapter went away
        }
        if (state_->stale_bytes > 0) {
            // A packet longer than the read: the host reports an overflow, the packet is lost.
            const std::size_t packet = state_->stale_bytes;
            const bool fits = packet <= length;
            state_->take_answers(fits ? buffer : nullptr, packet);
            transferred = fits ? static_cast<std::uint32_t>(packet) : 0;
            return fits;  // a short packet ends the read
        }
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(length, state_->answer_count));
        state_->take_answers(buffer, n);
        transferred = n;
        return true;
    }

    bool on_bus() const { return generation_ == state_->generation; }
    bool firmware_ready() const { return on_bus() && state_->running && !state_->halted; }

    std::shared_ptr<SimAdapter::State> state_;
    const std::uint64_t generation_;
};

}  // namespace

SimAdapter::SimAdapter(JtagPort& port, SimAdapterConfig config)
    : state_(std::make_shared<State>(port, config)) {}

SimAdapter::~SimAdapter() = default;

std::unique_ptr<usb::UsbDevice> SimAdapter::open(int index) {
    std::lock_guard lock(state_->mutex);
    if (index != 0 || state_->config.mode == SimAdapterMode::ABSENT || state_->unplugged) {
        ++state_->counts.missed_opens;
        return nullptr;
    }
    if (state_->offline_left > 0) {  // re-enumerating
        if (state_->offline_left != INT_MAX) {
            --state_->offline_left;
        }
        ++state_->counts.missed_opens;
        return nullptr;
    }
    ++state_->counts.opens;
    return std::make_unique<SimDevice>(state_);
}

void SimAdapter::unplug() {
    std::lock_guard lock(state_->mutex);
    state_->unplugged = true;
    ++state_->generation;  // every handle is now off the bus
    state_->answered.notify_all();
}

bool SimAdapter::firmware_running() const {
    std::lock_guard lock(state_->mutex);
    return state_->running && !state_->halted;
}

int SimAdapter::open_handles() const {
    std::lock_guard lock(state_->mutex);
    return state_->live_handles;
}

SimAdapterCounts SimAdapter::counts() const {
    std::lock_guard lock(state_->mutex);
    return state_->counts;
}

void SimAdapter::reset_counts() {
    std::lock_guard lock(state_->mutex);
    state_->counts = {};
}

}  // namespace oscset::sim
