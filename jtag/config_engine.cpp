#include "jtag/config_engine.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "jtag/background.hpp"
#include "jtag/bits.hpp"
#include "jtag/chain.hpp"
#include "jtag/config_file.hpp"
#include "jtag/device_table.hpp"
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
constexpr std::uint8_t MEMORY_IMAGE_MARK = 0xFF;  // a raw stream starts with its dummy word
constexpr std::int32_t JSTART_CLOCKS = 16;
constexpr std::int32_t STATUS_READ_BITS = 1 + 32;  // a pad bit, then the status word

template <std::size_t N>
constexpr std::int32_t bits_of(const std::array<std::uint8_t, N>&) {
    return static_cast<std::int32_t>(8 * N);
}

// The request, written before the worker starts and only read by it.
const void* request_source = nullptr;
std::int32_t* request_length = nullptr;
std::array<std::uint8_t, CONFIG_BLOCK_SIZE> config_block;

// Why the last configuration from a file failed, as one line; empty when it did not. Written
// by the worker, read once its result has been collected.
std::array<char, 512> file_problem{};

void note_file_problem(const char* format, ...) OSCSET_PRINTF_FORMAT(1, 2);
void note_file_problem(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(file_problem.data(), file_problem.size(), format, args);
    va_end(args);
}

void note_cut_short(const char* name, std::uint32_t held, std::uint32_t promised) {
    note_file_problem("Configuration file \"%s\" ends after %lu of its %lu data bytes\n", name,
                      static_cast<unsigned long>(held), static_cast<unsigned long>(promised));
}

// The part field up to its terminator (a field may fill all 64 bytes without one).
std::string_view part_field(const config_file& file) {
    const auto& field = file.part_name;
    return {field.data(),
            static_cast<std::size_t>(std::find(field.begin(), field.end(), '\0') - field.begin())};
}

// The bytes from the file's position to its end; -1 when the file cannot seek.
long bytes_left(std::FILE* file) {
    const long at = std::ftell(file);
    if (at < 0 || std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long end = std::ftell(file);
    if (std::fseek(file, at, SEEK_SET) != 0) {
        return -1;
    }
    return end - at;
}

// Opens a configuration file and judges it before the FPGA is touched: it must open, its
// header must be sound, the data it promises there, and a part field must name the FPGA that
// discovery selected.
config_file_ptr open_checked(const char* name) {
    ConfigFileError error = ConfigFileError::NONE;
    config_file_ptr file = config_file_open(name, &error);
    if (error == ConfigFileError::CANNOT_OPEN) {
        note_file_problem("Can't open configuration file \"%s\": %s\n", name, std::strerror(errno));
        return nullptr;
    }
    // A length beyond the length word's range is no real stream: a bad header.
    if (!file || file->data_length > std::uint32_t{std::numeric_limits<std::int32_t>::max()}) {
        note_file_problem("Configuration file \"%s\" has a bad header\n", name);
        return nullptr;
    }
    const long held = bytes_left(file->handle.get());
    if (held >= 0 && static_cast<unsigned long>(held) < file->data_length) {
        note_cut_short(name, static_cast<std::uint32_t>(held), file->data_length);
        return nullptr;
    }
    const std::string_view part = part_field(*file);
    const std::int32_t selected = selected_device();
    if (!part.empty() && selected >= 0) {
        const ChainRecord& fpga = chain_devices()[static_cast<std::size_t>(selected)];
        if ((file->part_idcode & IDCODE_VERSION_MASK) != (fpga.idcode & IDCODE_VERSION_MASK)) {
            // The chain's record names the first row of that IDCODE, maybe a Virtex twin.
            const char* spartan2 = spartan2_name(fpga.idcode);
            note_file_problem(
                "Configuration file \"%s\" is for part %.*s, but the FPGA on the chain is an %s\n",
                name, static_cast<int>(part.size()), part.data(),
                spartan2 != nullptr ? spartan2 : fpga.name);
            return nullptr;
        }
    }
    return file;
}

status_t configure_request() {
    return fpga_configure_worker(request_source, request_length);
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

status_t fpga_configure_worker(const void* source, std::int32_t* length) {
    file_problem[0] = '\0';
    const auto* memory = static_cast<const std::uint8_t*>(source);
    config_file_ptr file;
    std::uint32_t total = 0;
    if (length != nullptr && load_length(length) != 0 && memory[0] == MEMORY_IMAGE_MARK) {
        total = static_cast<std::uint32_t>(load_length(length)) & ~CONFIG_BACKGROUND;
    } else {
        // A file is judged before anything reaches the FPGA: a design that runs is kept.
        file = open_checked(static_cast<const char*>(source));
        if (!file) {
            return STATUS_FILE_ERROR;
        }
        total = file->data_length;
        if (length != nullptr) {
            store_length(length, static_cast<std::int32_t>(total));
        }
    }

    std::uint32_t status = 0;
    status_t f = fpga_read_status(&status);
    if ((status & STAT_NO_ANSWER) != 0) {
        platform::console_printf("status read error\n");
        return STATUS_NOT_CONFIGURED;
    }
    if (f != STATUS_OK) {
        return f;
    }
    if ((status & STAT_DONE) != 0) {
        const status_t r = fpga_prepare_reconfig();
        if (r != STATUS_OK) {
            return r;
        }
    }

    set_background_state(BG_RUNNING);
    f = fpga_begin_stream();
    if (f != STATUS_OK) {
        return f;
    }
    std::uint32_t sent = 0;
    while (sent < total) {
        const std::int32_t last = sent + CONFIG_BLOCK_SIZE >= total ? 1 : 0;
        std::uint32_t count = last == 1 ? total - sent : CONFIG_BLOCK_SIZE;
        bool cut_short = false;
        if (file) {
            const std::uint32_t got = config_file_read(*file, config_block.data(), count);
            // A short read must not send the previous block's bytes in place of the missing
            // ones: send what arrived and stop.
            if (got < count) {
                f |= STATUS_FILE_ERROR;
                cut_short = true;
                count = got;
                note_cut_short(static_cast<const char*>(source), sent + got, total);
            }
        } else {
            std::memcpy(config_block.data(), memory + sent, count);
        }
        if (count > 0) {
            f |= fpga_stream_block(config_block.data(), count, cut_short ? 0 : last);
        }
        if (length != nullptr) {
            store_length(length, static_cast<std::int32_t>(total - sent - count));
        }
        sent += count;
        if (f != STATUS_OK) {
            break;
        }
    }
    file.reset();

    fpga_read_status(&status);
    if ((status & STAT_CRC_ERROR) != 0 || (status & STAT_DONE) == 0) {
        f |= STATUS_NOT_CONFIGURED;
    }
    return f;
}

status_t fpga_configure(const void* source, std::int32_t* length) {
    const status_t r = jtag_ensure_target();
    if (r != STATUS_OK) {
        return r;
    }
    if (source == nullptr) {
        return background_collect();
    }
    if (length == nullptr) {
        return STATUS_NO_LENGTH;
    }
    if (background_state() != BG_IDLE) {
        return STATUS_BUSY;
    }
    request_source = source;
    request_length = length;
    // Control returns once the stream is moving, or the work has ended.
    return background_run(BG_ACCEPTED, length, configure_request);
}

status_t fpga_configure_with_progress(const void* source, std::int32_t length) {
    std::int32_t remain =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(length) | CONFIG_BACKGROUND);
    status_t r = fpga_configure(source, &remain);
    for (;;) {
        platform::console_printf("\rConfigration remain=%8ld",
                                 static_cast<long>(load_length(&remain)));
        if ((r & STATUS_BUSY) == 0) {
            break;
        }
        platform::sleep_ms(platform::Wait::PROGRESS, PROGRESS_MS);
        r = fpga_configure(nullptr, nullptr);
    }
    platform::console_printf("\n");
    if ((r & STATUS_FILE_ERROR) != 0 && file_problem[0] != '\0') {
        platform::console_printf("%s", file_problem.data());
    }
    return r;
}

}  // namespace oscset::jtag
