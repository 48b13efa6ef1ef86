#include "jtag/config_engine.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "jtag/background.hpp"
#include "jtag/bits.hpp"
#include "jtag/chain.hpp"
#include "jtag/config_file.hpp"
#include "jtag/config_stream.hpp"
#include "jtag/tap.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"

namespace oscset::jtag {
namespace {

// Type-1 packets as big-endian words.
constexpr std::array<std::uint8_t, 8> STATUS_REQUEST{
    0x28, 0x00, 0xE0, 0x01,  // read STAT, 1 word
    0x00, 0x00, 0x00, 0x00,
};
// Shut the running design down: SWITCH, COR with SHUTDOWN and the TCK start-up clock, START,
// RCRC.
constexpr std::array<std::uint8_t, 36> SEQUENCE_A{
    0x30, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x09,  // CMD SWITCH
    0x30, 0x01, 0x20, 0x01, 0x00, 0xA0, 0xBF, 0x2D,  // COR
    0x30, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x05,  // CMD START
    0x30, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x07,  // CMD RCRC
    0x00, 0x00, 0x00, 0x00,
};
// Keep the interconnect quiet while frames are rewritten, and the next START a start-up.
constexpr std::array<std::uint8_t, 20> SEQUENCE_B{
    0x30, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x08,  // CMD AGHIGH
    0x30, 0x01, 0x20, 0x01, 0x00, 0xA0, 0x3F, 0x2D,  // COR
    0x00, 0x00, 0x00, 0x00,
};
constexpr std::int32_t JSTART_CLOCKS = 16;
constexpr std::int32_t STATUS_READ_BITS = 1 + 32;  // a pad bit, then the status word

template <std::size_t N>
constexpr std::int32_t bits_of(const std::array<std::uint8_t, N>&) {
    return static_cast<std::int32_t>(8 * N);
}

// The request, written before the worker starts and only read by it: the stream (a memory
// image, or the data of the design file held below), the caller's length word, and the file's
// name for the lines that explain a failure.
std::span<const std::uint8_t> request_stream;
std::int32_t* request_length = nullptr;
std::string request_file;  // empty for a memory image
config_file_ptr loaded_file;
std::array<std::uint8_t, CONFIG_BLOCK_SIZE> config_block;

// Why the last configuration from a design file failed; written before the job ends (or
// before it starts), read once its result has been collected.
std::string problem;

// Reads the status and, when the FPGA runs a design, shuts it down.
status_t configure_prepare() {
    std::uint32_t status = 0;
    const status_t f = fpga_read_status(&status);
    if ((status & STAT_NO_ANSWER) != 0) {
        platform::console_printf("status read error\n");
        return STATUS_NOT_CONFIGURED;
    }
    if (f != STATUS_OK) {
        return f;
    }
    return (status & STAT_DONE) != 0 ? fpga_prepare_reconfig() : STATUS_OK;
}

// The stream in blocks, then the status that judges it.
status_t configure_stream() {
    const std::span<const std::uint8_t> stream = request_stream;
    const auto total = static_cast<std::uint32_t>(stream.size());
    status_t f = fpga_begin_stream();
    if (f != STATUS_OK) {
        return f;
    }
    for (std::uint32_t sent = 0; sent < total && f == STATUS_OK;) {
        const std::int32_t last = sent + CONFIG_BLOCK_SIZE >= total ? 1 : 0;
        const std::uint32_t count = last == 1 ? total - sent : CONFIG_BLOCK_SIZE;
        std::memcpy(config_block.data(), stream.data() + sent, count);
        f |= fpga_stream_block(config_block.data(), count, last);
        sent += count;
        store_length(request_length, static_cast<std::int32_t>(total - sent));
    }
    std::uint32_t status = 0;
    fpga_read_status(&status);
    if ((status & STAT_CRC_ERROR) != 0 || (status & STAT_DONE) == 0) {
        f |= STATUS_NOT_CONFIGURED;
        // A design file passed every check the chip makes; say what the chip made of it.
        if (!request_file.empty()) {
            problem = (status & STAT_CRC_ERROR) != 0
                          ? platform::format_text(
                                "The FPGA reports a CRC error after the stream of \"%s\"\n",
                                request_file.c_str())
                          : platform::format_text(
                                "The FPGA did not start after the stream of \"%s\" (no DONE)\n",
                                request_file.c_str());
        }
    }
    return f;
}

// The source a pointer stands for: a memory image when a length is given and the first byte
// is the dummy byte a raw stream starts with, else a file name.
ConfigSource source_of(const void* source, std::uint32_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    const std::uint32_t size = length & ~CONFIG_BACKGROUND;
    if (size != 0 && bytes[0] == STREAM_DUMMY_BYTE) {
        return ConfigSource::memory({bytes, size});
    }
    return ConfigSource::design_file(static_cast<const char*>(source));
}

}  // namespace

status_t fpga_read_status(std::uint32_t* out) {
    status_t result = jtag_reset_to_idle(RESET_CLOCKS);
    result |= jtag_reset_to_idle(RESET_CLOCKS);
    result |= jtag_cfg_in_write(STATUS_REQUEST.data(), bits_of(STATUS_REQUEST));
    result |= jtag_load_ir(INSTRUCTION_CFG_OUT, SPARTAN2_IR_LENGTH);
    std::array<std::uint8_t, 5> read{};
    result |= jtag_scan_dr(nullptr, read.data(), STATUS_READ_BITS);
    // The first bit out is a pad; the status follows most significant bit first.
    drop_leading_bits(read.data(), 4, 1);
    const std::uint32_t status = reverse_bits32(bytes_to_word(read.data()));
    result |= jtag_idle_clocks(1);
    if (out != nullptr) {
        *out = status;
    }
    return result;
}

status_t fpga_prepare_reconfig() {
    status_t result = jtag_reset_to_idle(RESET_CLOCKS);
    result |= jtag_cfg_in_write(SEQUENCE_A.data(), bits_of(SEQUENCE_A));
    platform::sleep_ms(platform::Wait::RECONFIG, RECONFIG_WAIT_MS);
    result |= jtag_load_ir(INSTRUCTION_JSTART, SPARTAN2_IR_LENGTH);
    result |= jtag_scan_dr(nullptr, nullptr, JSTART_CLOCKS);  // clocks the shutdown through
    platform::sleep_ms(platform::Wait::RECONFIG, RECONFIG_WAIT_MS);
    result |= jtag_cfg_in_write(SEQUENCE_B.data(), bits_of(SEQUENCE_B));
    platform::sleep_ms(platform::Wait::RECONFIG, RECONFIG_WAIT_MS);
    set_current_user_type(USER_TYPE_UNKNOWN);
    return result;
}

status_t fpga_begin_stream() {
    jtag_reset_to_idle(RESET_CLOCKS);
    jtag_load_ir(INSTRUCTION_CFG_IN, SPARTAN2_IR_LENGTH);
    // With the zeros held in the TDI-side bypasses, one whole zero word precedes the stream.
    const std::int32_t lead = (-selected_position().devices_tdi_side) & 31;
    jtag_shift_dr(nullptr, nullptr, lead, DR_ENTER);
    set_current_user_type(USER_TYPE_UNKNOWN);
    return STATUS_OK;
}

status_t fpga_stream_block(const std::uint8_t* block, std::uint32_t count, std::int32_t last) {
    const std::int32_t tdi_side = selected_position().devices_tdi_side;
    const auto bits = static_cast<std::int32_t>(8 * count);
    if (last == 1 && tdi_side > 0) {
        jtag_shift_dr(block, nullptr, bits, 0);
        jtag_shift_dr(nullptr, nullptr, tdi_side, DR_EXIT);  // pushes the last bit in
    } else {
        jtag_shift_dr(block, nullptr, bits, last == 1 ? DR_EXIT : 0);
    }
    if (last == 1) {
        jtag_load_ir(INSTRUCTION_JSTART, SPARTAN2_IR_LENGTH);
        jtag_scan_dr(nullptr, nullptr, JSTART_CLOCKS);
        jtag_idle_clocks(1);
    }
    return STATUS_OK;
}

status_t fpga_configure_source(const ConfigSource& source, std::int32_t* length) {
    if (background_state() == BG_IDLE) {
        problem.clear();  // a finished job's line is collected with its result
    }
    const status_t r = jtag_ensure_target();
    if (r != STATUS_OK) {
        return r;
    }
    if (length == nullptr) {
        return STATUS_NO_LENGTH;
    }
    if (background_state() != BG_IDLE) {
        return STATUS_BUSY;
    }
    loaded_file.reset();
    request_file = source.file != nullptr ? source.file : "";
    request_stream = source.image;
    const auto word = static_cast<std::uint32_t>(load_length(length));
    if (source.file != nullptr) {
        const ChainRecord& fpga = chain_devices()[static_cast<std::size_t>(selected_device())];
        loaded_file = config_file_load(source.file, fpga.idcode, problem);
        if (!loaded_file) {
            return STATUS_FILE_ERROR;
        }
        request_stream = config_file_stream(*loaded_file);
    } else {
        request_stream = request_stream.first(std::min<std::size_t>(request_stream.size(),
                                                                    word & ~CONFIG_BACKGROUND));
    }
    // The length is known before the work starts, so a progress line never shows less.
    store_length(length, static_cast<std::int32_t>((word & CONFIG_BACKGROUND) |
                                                   static_cast<std::uint32_t>(request_stream.size())));
    request_length = length;
    // Control returns once the stream is moving, or the work has ended.
    return background_run(BG_ACCEPTED, length, {configure_prepare, configure_stream});
}

status_t fpga_configure(const void* source, std::int32_t* length) {
    if (source == nullptr) {
        const status_t r = jtag_ensure_target();
        return r != STATUS_OK ? r : background_collect();
    }
    const auto word = length != nullptr ? static_cast<std::uint32_t>(load_length(length)) : 0;
    return fpga_configure_source(source_of(source, word), length);
}

status_t fpga_configure_with_progress(const ConfigSource& source) {
    const auto size = static_cast<std::uint32_t>(source.image.size());
    std::int32_t remain = static_cast<std::int32_t>(size | CONFIG_BACKGROUND);
    status_t r = fpga_configure_source(source, &remain);
    for (;;) {
        // The request flag is no count: a request that was never taken keeps it.
        const auto left = static_cast<std::uint32_t>(load_length(&remain)) & ~CONFIG_BACKGROUND;
        platform::console_printf("\rConfigration remain=%8ld", static_cast<long>(left));
        if ((r & STATUS_BUSY) == 0) {
            break;
        }
        platform::sleep_ms(platform::Wait::PROGRESS, PROGRESS_MS);
        r = fpga_configure(nullptr, nullptr);
    }
    platform::console_printf("\n");
    if (r != STATUS_OK && !problem.empty()) {
        platform::console_printf("%s", problem.c_str());
    }
    return r;
}

status_t fpga_configure_with_progress(const void* source, std::int32_t length) {
    return fpga_configure_with_progress(source_of(source, static_cast<std::uint32_t>(length)));
}

}  // namespace oscset::jtag
