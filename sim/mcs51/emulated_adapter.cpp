#include "sim/mcs51/emulated_adapter.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <thread>

#include "platform/event.hpp"

namespace oscset::sim {
namespace {

using mcs51::EzUsbChip;
using mcs51::PACKET_SIZE;
using mcs51::Port;
using mcs51::SetupPacket;

// The host's driver is bound to this identity; a firmware with another one is not reached.
constexpr std::uint16_t VENDOR = 0x0547;
constexpr std::uint16_t PRODUCT = 0x2131;

constexpr std::uint8_t LOAD_REQUEST = 0xA0;
constexpr std::uint8_t GET_DESCRIPTOR = 6;
constexpr std::uint8_t GET_STATUS = 0;
constexpr std::uint8_t SET_ADDRESS = 5;
constexpr std::uint8_t SET_CONFIGURATION = 9;
constexpr std::uint8_t TO_HOST = 0x80;
constexpr std::uint8_t TYPE_MASK = 0x60;
constexpr std::uint8_t TYPE_VENDOR = 0x40;

constexpr std::uint64_t SLICE_CYCLES = 20'000;        // one turn of a waiting call
constexpr std::uint64_t QUIET_CYCLES = 60'000;        // 10 ms without bus activity: chip idle
constexpr std::uint64_t CONTROL_CYCLES = 3'000'000;   // 500 ms for a control transfer
constexpr std::uint64_t BOOT_WINDOW_CYCLES = 60'000;  // a started firmware's first 10 ms
constexpr std::uint32_t IDLE_WAIT_MS = 10;

constexpr std::uint8_t DESCRIPTOR_INTERFACE = 4;
constexpr std::uint8_t DESCRIPTOR_ENDPOINT = 5;
constexpr std::uint8_t ENDPOINT_IN = 0x80;

// Full speed moves 2 bits a machine cycle; a transaction adds token, CRC, handshake and gaps.
std::uint64_t bus_cycles(std::size_t bytes) {
    return (8 * bytes + 100) / 2;
}

// The JTAG lines at the port pins. An undriven line floats high (the target pulls it up).
class JtagWiring : public mcs51::PortWiring {
  public:
    explicit JtagWiring(JtagPort& port) : port_(port) {}

    void port_changed(Port port, std::uint8_t out, std::uint8_t enable) override {
        bool tck = tck_;
        bool tdi = tdi_;
        bool tms = tms_;
        if (port == Port::A) {
            tdi = level(out, enable, 0x20);
        } else if (port == Port::C) {
            tck = level(out, enable, 0x02);
            tms = level(out, enable, 0x04);
        } else {
            return;
        }
        if (tck != tck_ || tdi != tdi_ || tms != tms_) {
            tck_ = tck;
            tdi_ = tdi;
            tms_ = tms;
            port_.drive(tck, tdi, tms);
        }
    }

    std::uint8_t port_input(Port port) override {
        if (port != Port::C)
            return 0;
        return static_cast<std::uint8_t>((port_.tdo() ? 0x01 : 0) |
                                         (port_.target_power() ? 0x08 : 0));
    }

  private:
    static bool level(std::uint8_t out, std::uint8_t enable, std::uint8_t mask) {
        return !(enable & mask) || (out & mask);
    }

    JtagPort& port_;
    bool tck_ = true;
    bool tdi_ = true;
    bool tms_ = true;
};

struct PostedWrite {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    std::uint64_t id = 0;
    bool active = false;
    bool failed = false;
};

struct PostedRead {
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t got = 0;
    std::uint64_t id = 0;
    bool active = false;
    bool complete = false;
    bool failed = false;
};

// The one packet on the wire.
struct Transaction {
    bool active = false;
    bool in = false;
    int ep = 0;
    std::uint32_t length = 0;
    std::uint64_t id = 0;
    std::uint64_t done_at = 0;
};

}  // namespace

std::vector<std::uint8_t> pipes_of(std::span<const std::uint8_t> configuration) {
    std::vector<std::uint8_t> pipes;
    bool in_interface = false;
    for (std::size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2;
         at += configuration[at]) {
        const std::uint8_t type = configuration[at + 1];
        if (type == DESCRIPTOR_INTERFACE && at + 4 <= configuration.size()) {
            in_interface = configuration[at + 2] == 0 && configuration[at + 3] == 0;
        } else if (type == DESCRIPTOR_ENDPOINT && in_interface && at + 3 <= configuration.size()) {
            pipes.push_back(configuration[at + 2]);
        }
    }
    return pipes;
}

class EmulatedAdapter::Shared {
  public:
    Shared(JtagPort& port, Options o) : wiring(port), chip(&wiring), options(o) {}

    bool usable(std::uint32_t connection) const {
        return !unplugged && chip.connected() && enumerated && enumerated_connection == connection &&
               chip.connection() == connection;
    }

    // Lets the chip run for at most `max_cycles`, moving the posted transfers' packets.
    // Returns early when a packet has moved or the firmware changed what the host sees.
    void pump(std::uint64_t max_cycles) {
        const std::uint64_t end = chip.now() + max_cycles;
        for (;;) {
            if (!bus.active)
                start_transaction();
            const std::uint64_t until = bus.active ? std::min(end, bus.done_at) : end;
            const bool event = chip.run_until(until);
            if (event)
                last_activity = chip.now();
            if (bus.active && chip.now() >= bus.done_at) {
                finish_transaction();
                return;
            }
            if (event || chip.now() >= end)
                return;
        }
    }

    // Lets `cycles` of bus time pass.
    void pass(std::uint64_t cycles) {
        run_for(cycles, [] { return false; });
    }

    // Runs the chip for up to `cycles` or until `stop` holds.
    template <class Stop>
    void run_for(std::uint64_t cycles, Stop stop) {
        const std::uint64_t end = chip.now() + cycles;
        while (!stop() && chip.now() < end)
            pump(end - chip.now());
    }

    // Nothing on the wire, no packet that could move and no bus activity for a while: the
    // firmware waits for the host, and a call waits for another thread's transfer.
    bool quiet() const {
        if (bus.active)
            return false;
        for (int ep = 0; ep < 8; ++ep) {
            const PostedWrite& w = writes[ep];
            if (w.active && !w.failed && w.done < w.length && chip.out_armed(ep))
                return false;
            const PostedRead& r = reads[ep];
            if (r.active && !r.complete && !r.failed && chip.in_loaded(ep))
                return false;
        }
        return chip.now() - last_activity >= QUIET_CYCLES;
    }

    // Waits (running the chip) until `done` holds; false when the call's budget of emulated
    // cycles runs out, the adapter leaves the bus, or the chip has been quiet for
    // idle_wait_limit_ms. While it is quiet the call sleeps on the time seam until another
    // thread posts a transfer, and the chip runs at its own pace meanwhile.
    template <class Done>
    bool wait(std::unique_lock<std::mutex>& lock, std::uint32_t connection, Done done) {
        return wait(lock, connection, done, options.call_budget_cycles,
                    options.idle_wait_limit_ms);
    }
    template <class Done>
    bool wait(std::unique_lock<std::mutex>& lock, std::uint32_t connection, Done done,
              std::uint64_t budget_cycles, std::uint32_t idle_limit_ms) {
        const std::uint64_t start = chip.now();
        std::uint32_t idle_ms = 0;
        for (;;) {
            if (done())
                return true;
            if (!usable(connection))
                return false;
            if (chip.now() - start >= budget_cycles)
                return false;
            if (quiet()) {
                if (idle_ms >= idle_limit_ms)
                    return false;
                activity.reset();
                lock.unlock();
                activity.wait_for_ms(IDLE_WAIT_MS);
                lock.lock();
                idle_ms += IDLE_WAIT_MS;
                pump(IDLE_WAIT_MS * (EmulatedAdapter::CYCLES_PER_SECOND / 1000));
                continue;
            }
            pump(SLICE_CYCLES);
            lock.unlock();
            std::this_thread::yield();  // let the other thread post or collect
            lock.lock();
        }
    }

    bool control(const SetupPacket& s, std::span<std::uint8_t> in,
                 std::span<const std::uint8_t> out, std::size_t& received);
    bool enumerate();

    JtagWiring wiring;
    EzUsbChip chip;
    Options options;
    std::mutex mutex;
    platform::ManualResetEvent activity;
    bool enumerated = false;
    bool unplugged = false;
    std::uint32_t enumerated_connection = 0;
    std::uint32_t enumerations = 0;
    std::vector<std::uint8_t> pipes;  // endpoint address by pipe number
    std::array<PostedWrite, 8> writes{};
    std::array<PostedRead, 8> reads{};
    std::uint64_t next_id = 1;

  private:
    bool default_control(const SetupPacket& s, std::span<std::uint8_t> in, std::size_t& received);
    void start_transaction();
    void finish_transaction();

    Transaction bus;
    int next_slot = 0;
    std::uint64_t last_activity = 0;
};

void EmulatedAdapter::Shared::start_transaction() {
    if (!chip.connected())
        return;
    for (int i = 0; i < 16; ++i) {
        const int slot = (next_slot + i) % 16;
        const bool in = slot >= 8;
        const int ep = slot % 8;
        std::uint32_t length = 0;
        std::uint64_t id = 0;
        if (!in) {
            PostedWrite& w = writes[ep];
            if (!w.active || w.failed || w.done >= w.length)
                continue;
            if (chip.out_stalled(ep)) {
                w.failed = true;
                continue;
            }
            if (!chip.out_armed(ep))
                continue;
            length = std::min<std::uint32_t>(PACKET_SIZE, w.length - w.done);
            id = w.id;
        } else {
            PostedRead& r = reads[ep];
            if (!r.active || r.complete || r.failed)
                continue;
            if (chip.in_stalled(ep)) {
                r.failed = true;
                continue;
            }
            if (!chip.in_loaded(ep))
                continue;
            length = static_cast<std::uint32_t>(chip.in_count(ep));
            id = r.id;
        }
        bus = Transaction{true, in, ep, length, id, chip.now() + bus_cycles(length)};
        next_slot = (slot + 1) % 16;
        return;
    }
}

void EmulatedAdapter::Shared::finish_transaction() {
    const Transaction t = bus;
    bus.active = false;
    last_activity = chip.now();
    if (!t.in) {
        PostedWrite& w = writes[t.ep];
        if (!w.active || w.id != t.id)
            return;  // the write gave up: the packet is lost
        if (!chip.connected() || !chip.out_armed(t.ep)) {
            w.failed = true;
            return;
        }
        chip.out_packet(t.ep, std::span<const std::uint8_t>(w.data + w.done, t.length));
        w.done += t.length;
        return;
    }
    PostedRead& r = reads[t.ep];
    // A read that gave up takes nothing: the packet stays in the chip for the next one.
    if (!r.active || r.id != t.id || !chip.connected() || !chip.in_loaded(t.ep))
        return;
    std::array<std::uint8_t, PACKET_SIZE> packet{};
    const std::size_t n = chip.in_packet(t.ep, packet);
    if (n > r.length - r.got) {
        r.failed = true;  // more than the read asked for: the host reports an overflow
        return;
    }
    std::copy_n(packet.begin(), n, r.buffer + r.got);
    r.got += static_cast<std::uint32_t>(n);
    if (n < PACKET_SIZE || r.got == r.length)
        r.complete = true;  // a short packet ends a read
}

bool EmulatedAdapter::Shared::default_control(const SetupPacket& s, std::span<std::uint8_t> in,
                                              std::size_t& received) {
    if (s.request_type == TO_HOST && s.request == GET_DESCRIPTOR) {
        const std::vector<std::uint8_t> d = EzUsbChip::default_descriptor(
            static_cast<std::uint8_t>(s.value >> 8), static_cast<std::uint8_t>(s.value));
        if (d.empty())
            return false;
        received = std::min({d.size(), std::size_t{s.length}, in.size()});
        std::copy_n(d.begin(), received, in.begin());
        return true;
    }
    if (s.request_type == TO_HOST && s.request == GET_STATUS) {
        received = std::min({std::size_t{2}, std::size_t{s.length}, in.size()});
        std::fill_n(in.begin(), received, 0);
        return true;
    }
    return s.request_type == 0 && s.request == SET_CONFIGURATION && s.value <= 1;
}

bool EmulatedAdapter::Shared::control(const SetupPacket& s, std::span<std::uint8_t> in,
                                      std::span<const std::uint8_t> out, std::size_t& received) {
    received = 0;
    if (!chip.connected())
        return false;
    activity.set();
    const bool to_host = (s.request_type & TO_HOST) != 0;
    if ((s.request_type & TYPE_MASK) == TYPE_VENDOR && s.request == LOAD_REQUEST) {
        // The core serves its load request itself, whatever the firmware does.
        if (to_host) {
            const std::size_t n = std::min<std::size_t>(in.size(), s.length);
            if (!chip.load_read(s.value, in.first(n)))
                return false;
            received = n;
            return true;
        }
        if (out.size() < s.length)
            return false;
        return chip.load_write(s.value, out.first(s.length));
    }
    if (s.request_type == 0 && s.request == SET_ADDRESS)
        return true;  // the core's own
    if (!chip.renumerated())
        return default_control(s, in, received);
    if (!to_host && out.size() < s.length)
        return false;

    // Each stage takes its bus time, while the firmware runs on.
    const std::uint64_t deadline = chip.now() + CONTROL_CYCLES;
    pass(bus_cycles(8));
    chip.setup(s);
    std::size_t sent = 0;
    bool data_done = s.length == 0;
    for (;;) {
        if (chip.ep0_stalled())
            return false;
        if (!data_done && to_host) {
            std::array<std::uint8_t, PACKET_SIZE> packet{};
            const int n = chip.ep0_in(packet);
            if (n >= 0) {
                const std::size_t room = std::min<std::size_t>(s.length, in.size()) - received;
                const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), room);
                std::copy_n(packet.begin(), take, in.begin() + received);
                received += take;
                pass(bus_cycles(static_cast<std::size_t>(n)));
                if (static_cast<std::size_t>(n) < PACKET_SIZE || received >= s.length)
                    data_done = true;
                continue;
            }
        } else if (!data_done) {
            if (chip.ep0_out_armed()) {
                const std::size_t chunk = std::min<std::size_t>(PACKET_SIZE, s.length - sent);
                pass(bus_cycles(chunk));
                chip.ep0_out(out.subspan(sent, chunk));
                sent += chunk;
                data_done = sent >= s.length;
                continue;
            }
        } else if (!chip.ep0_handshake_pending()) {
            pass(bus_cycles(0));
            return true;
        }
        if (chip.now() >= deadline || !chip.connected())
            return false;
        pump(std::min(SLICE_CYCLES, deadline - chip.now()));
    }
}

// What the host's USB stack does on an attach before the driver can open the adapter.
bool EmulatedAdapter::Shared::enumerate() {
    chip.bus_reset();
    std::size_t n = 0;
    if (!control(SetupPacket{0, SET_ADDRESS, 1, 0, 0}, {}, {}, n))
        return false;
    std::array<std::uint8_t, 18> device{};
    if (!control(SetupPacket{TO_HOST, GET_DESCRIPTOR, 0x0100, 0, 18}, device, {}, n) || n != 18 ||
        device[0] != 18 || device[1] != 1) {
        return false;
    }
    if ((device[8] | (device[9] << 8)) != VENDOR || (device[10] | (device[11] << 8)) != PRODUCT) {
        return false;
    }
    std::array<std::uint8_t, 255> configuration{};
    if (!control(SetupPacket{TO_HOST, GET_DESCRIPTOR, 0x0200, 0, 9}, configuration, {}, n) ||
        n != 9 || configuration[1] != 2) {
        return false;
    }
    const std::size_t total = configuration[2] | (configuration[3] << 8);
    if (total < 9 || total > configuration.size())
        return false;
    if (!control(SetupPacket{TO_HOST, GET_DESCRIPTOR, 0x0200, 0, static_cast<std::uint16_t>(total)},
                 configuration, {}, n) ||
        n != total) {
        return false;
    }
    if (!control(SetupPacket{0, SET_CONFIGURATION, configuration[5], 0, 0}, {}, {}, n))
        return false;
    pipes = pipes_of(std::span<const std::uint8_t>(configuration.data(), total));
    enumerated = true;
    enumerated_connection = chip.connection();
    ++enumerations;
    return true;
}

namespace {

class EmulatedAdapterDevice : public usb::UsbDevice {
  public:
    EmulatedAdapterDevice(std::shared_ptr<EmulatedAdapter::Shared> shared, std::uint32_t connection)
        : s_(std::move(shared)), connection_(connection) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        std::unique_lock lock(s_->mutex);
        if (!s_->usable(connection_))
            return false;
        const bool starts = request == LOAD_REQUEST && value == mcs51::reg::CPUCS &&
                            (data & 1) == 0 && s_->chip.held_in_reset();
        std::size_t n = 0;
        const std::uint8_t byte[1] = {data};
        if (!s_->control(SetupPacket{TYPE_VENDOR, request, value, index, 1}, {}, byte, n))
            return false;
        if (starts) {
            // A renumerating firmware leaves the bus within its first moments.
            const std::uint32_t before = s_->chip.connection();
            s_->run_for(BOOT_WINDOW_CYCLES, [&] { return s_->chip.connection() != before; });
        }
        return true;
    }

    bool download(std::span<const std::uint8_t> image) override {
        std::unique_lock lock(s_->mutex);
        if (!s_->usable(connection_) || image.size() > mcs51::LOAD_LIMIT + 1u)
            return false;
        std::size_t n = 0;
        return s_->control(
            SetupPacket{TYPE_VENDOR, LOAD_REQUEST, 0, 0, static_cast<std::uint16_t>(image.size())},
            {}, image, n);
    }

    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, usb::STRING_ANSWER_SIZE> answer) override {
        std::fill(answer.begin(), answer.end(), 0);
        std::unique_lock lock(s_->mutex);
        if (!s_->usable(connection_))
            return false;
        std::size_t n = 0;
        return s_->control(
            SetupPacket{TO_HOST, GET_DESCRIPTOR, static_cast<std::uint16_t>(0x0300 | index),
                        language, static_cast<std::uint16_t>(answer.size())},
            answer, {}, n);
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        std::unique_lock lock(s_->mutex);
        const int ep = endpoint(pipe, false);
        if (ep < 0)
            return false;
        if (length == 0)
            return true;
        PostedWrite& w = s_->writes[ep];
        if (data == nullptr || w.active)
            return false;  // one transfer at a time on a pipe
        w = PostedWrite{data, length, 0, s_->next_id++, true, false};
        s_->activity.set();
        const bool finished =
            s_->wait(lock, connection_, [&w] { return w.failed || w.done >= w.length; });
        transferred = w.done;
        const bool ok = finished && !w.failed;
        w.active = false;
        return ok;
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred, s_->options.call_budget_cycles,
                    s_->options.idle_wait_limit_ms);
    }

    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return read(pipe, buffer, length, transferred,
                    usb::POLL_READ_MS * (EmulatedAdapter::CYCLES_PER_SECOND / 1000),
                    usb::POLL_READ_MS);
    }

  private:
    bool read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t& transferred, std::uint64_t budget_cycles, std::uint32_t idle_limit_ms) {
        transferred = 0;
        std::unique_lock lock(s_->mutex);
        const int ep = endpoint(pipe, true);
        if (ep < 0)
            return false;
        if (length == 0)
            return true;
        PostedRead& r = s_->reads[ep];
        if (buffer == nullptr || r.active)
            return false;
        r = PostedRead{buffer, length, 0, s_->next_id++, true, false, false};
        s_->activity.set();
        const bool finished = s_->wait(
            lock, connection_, [&r] { return r.failed || r.complete; }, budget_cycles,
            idle_limit_ms);
        transferred = r.got;
        const bool ok = finished && !r.failed;
        r.active = false;
        return ok;
    }

    // The endpoint behind a pipe of this connection in the given direction, or -1.
    int endpoint(std::uint32_t pipe, bool in) const {
        if (!s_->usable(connection_) || pipe >= s_->pipes.size())
            return -1;
        const std::uint8_t address = s_->pipes[pipe];
        if (((address & ENDPOINT_IN) != 0) != in || (address & 0x0F) == 0 || (address & 0x70) != 0)
            return -1;
        return address & 0x07;
    }

    std::shared_ptr<EmulatedAdapter::Shared> s_;
    std::uint32_t connection_;
};

}  // namespace

EmulatedAdapter::EmulatedAdapter(JtagPort& port) : EmulatedAdapter(port, Options{}) {}

EmulatedAdapter::EmulatedAdapter(JtagPort& port, Options options)
    : shared_(std::make_shared<Shared>(port, options)) {}

EmulatedAdapter::~EmulatedAdapter() = default;

std::unique_ptr<usb::UsbDevice> EmulatedAdapter::open(int index) {
    if (index != 0)
        return nullptr;
    std::unique_lock lock(shared_->mutex);
    Shared& s = *shared_;
    if (s.unplugged)
        return nullptr;
    if (!s.chip.connected()) {
        const std::uint64_t step = s.options.absent_step_ms * (CYCLES_PER_SECOND / 1000);
        s.run_for(step, [&s] { return s.chip.connected(); });
        if (!s.chip.connected())
            return nullptr;
    }
    if (!s.enumerated || s.enumerated_connection != s.chip.connection()) {
        s.enumerated = false;
        if (!s.enumerate())
            return nullptr;
    }
    return std::make_unique<EmulatedAdapterDevice>(shared_, s.chip.connection());
}

void EmulatedAdapter::unplug() {
    std::lock_guard lock(shared_->mutex);
    shared_->unplugged = true;
    shared_->activity.set();  // a call waiting for the chip looks again, and fails
}

std::uint64_t EmulatedAdapter::cycles() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->chip.now();
}

std::uint64_t EmulatedAdapter::cycles_in_port_call() const {
    return shared_->chip.now();
}

std::uint32_t EmulatedAdapter::enumerations() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->enumerations;
}

bool EmulatedAdapter::present() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->chip.connected();
}

std::uint32_t EmulatedAdapter::connection() const {
    std::lock_guard lock(shared_->mutex);
    return !shared_->unplugged && shared_->chip.connected() ? shared_->chip.connection() + 1 : 0;
}

void EmulatedAdapter::advance(std::uint64_t cycles) {
    std::unique_lock lock(shared_->mutex);
    shared_->run_for(cycles, [] { return false; });
}

bool EmulatedAdapter::control_in(const mcs51::SetupPacket& setup, std::span<std::uint8_t> data,
                                 std::size_t& received) {
    received = 0;
    std::unique_lock lock(shared_->mutex);
    if (!shared_->usable(shared_->chip.connection()))
        return false;
    return shared_->control(setup, data, {}, received);
}

bool EmulatedAdapter::control_out(const mcs51::SetupPacket& setup,
                                  std::span<const std::uint8_t> data) {
    std::unique_lock lock(shared_->mutex);
    if (!shared_->usable(shared_->chip.connection()))
        return false;
    std::size_t n = 0;
    return shared_->control(setup, {}, data, n);
}

}  // namespace oscset::sim
