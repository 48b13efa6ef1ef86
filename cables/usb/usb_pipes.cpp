#include "cables/usb/usb_pipes.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/console.hpp"
#include "platform/event.hpp"
#include "platform/thread.hpp"

namespace oscset::usb {
namespace {

// A driver that keeps reporting success without moving a byte would spin a transfer loop
// for ever; after this many such calls in a row the transfer counts as failed.
constexpr std::uint32_t ZERO_PROGRESS_LIMIT = 8;

UsbDeviceSlot control_handle;
UsbDeviceSlot read_handle;
std::atomic<bool> not_ready{true};

// Reader hand-off. The caller writes the request only while the reader is idle (after
// read_done was seen set, and before read_go), the reader touches it only between waking on
// read_go and setting read_done; the atomics cover the caller's look after a wait that ran
// out while the reader is still reading.
//
// The reader reads into read_landing, a buffer of its own, never into the caller's memory:
// a read that outlives its wait can then only ever write here. The caller copies out the
// bytes that read_arrived vouches for.
platform::ManualResetEvent read_go;
platform::ManualResetEvent read_done;
std::atomic<std::int32_t> read_remaining{0};
std::atomic<std::uint32_t> read_arrived{0};
std::atomic<std::uint32_t> read_pipe{PIPE_ANSWER};
std::atomic<bool> read_stop{false};
std::array<std::uint8_t, USB_CHUNK> read_landing;

void read_into_landing() {
    std::uint32_t idle_calls = 0;
    while (read_remaining.load() > 0 && !read_stop.load()) {
        const std::uint32_t arrived = read_arrived.load(std::memory_order_relaxed);
        const auto chunk = static_cast<std::uint32_t>(read_remaining.load());
        std::uint32_t got = 0;
        UsbDevice* device = read_handle.get();
        if (device == nullptr || arrived + chunk > read_landing.size() ||
            !device->bulk_read(read_pipe.load(), read_landing.data() + arrived, chunk, got) ||
            got > chunk) {
            read_remaining.store(-1);
            return;
        }
        if (got == 0) {
            if (++idle_calls >= ZERO_PROGRESS_LIMIT) {
                read_remaining.store(-1);
                return;
            }
            continue;
        }
        idle_calls = 0;
        read_arrived.store(arrived + got, std::memory_order_release);
        read_remaining.fetch_sub(static_cast<std::int32_t>(got));
    }
}

void usb_reader_thread() {
    // The read must already be posted when the provoking write goes out: run ahead of the
    // caller where the system lets us.
    platform::raise_thread_priority();
    for (;;) {
        read_done.set();
        read_go.wait();
        read_go.reset();
        if (read_stop.load()) {
            return;
        }
        read_into_landing();
    }
}

// Destroyed before the state above (declared after it): a reader still running at exit is
// stopped and joined, never left to touch released state.
struct ReaderThread {
    std::thread thread;
    ~ReaderThread();
};
ReaderThread reader;

void end_reader() {
    if (!reader.thread.joinable()) {
        return;
    }
    read_stop.store(true);
    read_go.set();
    // A reader inside a bulk read sees the stop when the read returns; the backends bound
    // every read in time, so this wait is bounded too.
    reader.thread.join();
}

ReaderThread::~ReaderThread() {
    end_reader();
}

// One exchange of at most USB_CHUNK bytes: arm, write, wait, copy the answer.
std::int32_t exchange_piece(std::uint32_t pipe, const std::uint8_t* data, std::uint8_t* answer,
                            std::uint32_t length) {
    // Without an armed read the answers to this write would be read by nobody, or taken
    // by a late read as its own: send nothing.
    if (!usb_read_arm(PIPE_ANSWER, length)) {
        return -2;
    }
    const std::int32_t written = usb_bulk_write(pipe, data, length);
    if (written < 0) {
        return written;
    }
    const std::int32_t remaining = usb_read_wait(true);
    const std::uint32_t arrived =
        remaining == 0 ? length : read_arrived.load(std::memory_order_acquire);
    std::memmove(answer, read_landing.data(), std::min(arrived, length));
    // An answer that did not arrive in time is a failed read-back, not a success.
    return remaining == 0 ? 0 : -2;
}

std::int32_t exchange(std::uint32_t pipe, const std::uint8_t* data, std::uint8_t* answer,
                      std::uint32_t length, const char* message) {
    if (not_ready.load() || control_handle == nullptr) {
        return -1;
    }
    while (length > 0) {
        const std::uint32_t piece = std::min(length, USB_CHUNK);
        const std::int32_t result = exchange_piece(pipe, data, answer, piece);
        if (result != 0) {
            platform::console_printf("%s", message);
            return result;
        }
        data += piece;
        answer += piece;
        length -= piece;
    }
    return 0;
}

}  // namespace

UsbDeviceSlot& usb_control_handle() {
    return control_handle;
}
UsbDeviceSlot& usb_read_handle() {
    return read_handle;
}

void usb_set_not_ready(bool value) {
    not_ready.store(value);
}
bool usb_not_ready() {
    return not_ready.load();
}

std::int32_t usb_bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length) {
    std::uint32_t idle_calls = 0;
    while (length > 0) {
        if (control_handle == nullptr) {
            return -1;
        }
        const std::uint32_t chunk = std::min(length, USB_CHUNK);
        std::uint32_t sent = 0;
        if (!control_handle->bulk_write(pipe, data, chunk, sent) || sent > chunk) {
            return -1;
        }
        if (sent == 0) {
            if (++idle_calls >= ZERO_PROGRESS_LIMIT) {
                return -1;
            }
            continue;
        }
        idle_calls = 0;
        data += sent;
        length -= sent;
    }
    return 0;
}

std::int32_t usb_reader_start() {
    end_reader();
    read_go.reset();
    read_done.reset();
    read_remaining.store(0);
    read_arrived.store(0);
    read_stop.store(false);
    return platform::start_thread(reader.thread, usb_reader_thread) ? 0 : -1;
}

bool usb_read_arm(std::uint32_t pipe, std::uint32_t length) {
    if (length > USB_CHUNK || !reader.thread.joinable()) {
        return false;
    }
    // Only an idle reader takes a read: a reader that has not reached its wait yet, or is
    // still inside an earlier read, would overwrite or drop the request.
    if (!read_done.wait_for_ms(USB_READ_WAIT_MS) || read_remaining.load() != 0) {
        return false;
    }
    read_done.reset();
    read_arrived.store(0);
    read_pipe.store(pipe);
    read_remaining.store(static_cast<std::int32_t>(length));
    read_go.set();
    return true;
}

std::int32_t usb_read_wait(bool wait) {
    if (wait) {
        read_done.wait_for_ms(USB_READ_WAIT_MS);
    }
    return read_remaining.load();
}

std::int32_t usb_pipe_send(const std::uint8_t* data, std::uint32_t length) {
    if (not_ready.load()) {
        return -1;
    }
    const std::int32_t result = usb_bulk_write(PIPE_BYTE_MODE, data, length);
    if (result < 0) {
        platform::console_printf("error ! USB SPI TX\n");
    }
    return result;
}

std::int32_t usb_pipe_exchange(const std::uint8_t* data, std::uint8_t* answer,
                               std::uint32_t length) {
    return exchange(PIPE_BYTE_MODE_ANSWERED, data, answer, length, "error ! USB SPI TX-RX\n");
}

std::int32_t usb_command_exchange(std::uint8_t* buffer, std::uint32_t length) {
    return exchange(PIPE_COMMAND, buffer, buffer, length, "error ! USB SPI Protcol\n");
}

void usb_reader_stop() {
    not_ready.store(true);
    end_reader();
    control_handle.reset();
    read_handle.reset();
    read_go.reset();
    read_done.reset();
}

}  // namespace oscset::usb
