#include "jtag/config_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "jtag/config_stream.hpp"
#include "jtag/device_table.hpp"
#include "jtag/spartan2.hpp"
#include "platform/console.hpp"
#include "platform/file.hpp"

namespace oscset::jtag {
namespace {

using platform::format_text;

// The header as it is read, byte by byte from the file's contents.
class HeaderReader {
  public:
    explicit HeaderReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool take(void* out, std::size_t count) {
        if (bytes_.size() - at_ < count) {
            return false;
        }
        std::memcpy(out, bytes_.data() + at_, count);
        at_ += count;
        return true;
    }
    std::size_t at() const { return at_; }

  private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_ = 0;
};

// Reads a field value of `length` bytes into `field`, keeping what fits and skipping the rest.
bool read_field(HeaderReader& in, std::array<char, CONFIG_FIELD_SIZE>& field, std::size_t length) {
    field.fill('\0');
    const std::size_t kept = std::min(length, field.size());
    std::array<char, 256> skipped{};
    if (!in.take(field.data(), kept)) {
        return false;
    }
    for (std::size_t left = length - kept; left > 0;) {
        const std::size_t step = std::min(left, skipped.size());
        if (!in.take(skipped.data(), step)) {
            return false;
        }
        left -= step;
    }
    return true;
}

// The part field begins with the row's whole name.
std::uint32_t lookup_part(const std::array<char, CONFIG_FIELD_SIZE>& part_name) {
    for (const DeviceRow& row : device_table()) {
        if (row.name == nullptr) {
            break;
        }
        const std::size_t length = std::strlen(row.name);
        if (length <= part_name.size() && std::memcmp(part_name.data(), row.name, length) == 0) {
            return row.idcode;
        }
    }
    return 0;
}

// Reads the header up to the data field; false for a header cut short or an unknown key.
bool read_header(config_file& record) {
    HeaderReader in(record.contents);
    if (!in.take(record.preamble.data(), 1)) {
        return false;
    }
    if (record.preamble[0] == STREAM_DUMMY_BYTE) {
        // A raw stream: its data is the whole file.
        if (record.contents.size() > std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        record.data_length = static_cast<std::uint32_t>(record.contents.size());
        return true;
    }
    if (!in.take(record.preamble.data() + 1, record.preamble.size() - 1)) {
        return false;
    }
    for (;;) {
        std::uint8_t key = 0;
        if (!in.take(&key, 1)) {
            return false;
        }
        if (key == 'e') {
            std::array<std::uint8_t, 4> length{};
            if (!in.take(length.data(), length.size())) {
                return false;
            }
            record.data_length = std::uint32_t{length[0]} << 24 | std::uint32_t{length[1]} << 16 |
                                 std::uint32_t{length[2]} << 8 | length[3];
            record.part_idcode = lookup_part(record.part_name);
            record.data_start = record.position = in.at();
            return true;
        }
        std::array<char, CONFIG_FIELD_SIZE>* field = nullptr;
        switch (key) {
            case 'a':
                field = &record.design_name;
                break;
            case 'b':
                field = &record.part_name;
                break;
            case 'c':
                field = &record.date;
                break;
            case 'd':
                field = &record.time;
                break;
            default:
                platform::console_printf("Unknown header ID %02x found\n", key);
                return false;
        }
        std::array<std::uint8_t, 2> length{};
        if (!in.take(length.data(), length.size()) ||
            !read_field(in, *field, std::size_t{length[0]} << 8 | length[1])) {
            return false;
        }
    }
}

// The part field up to its terminator (a field may fill all 64 bytes without one).
std::string_view part_field(const config_file& file) {
    const auto& field = file.part_name;
    return {field.data(),
            static_cast<std::size_t>(std::find(field.begin(), field.end(), '\0') - field.begin())};
}

// Why the chip would not take the stream, as a line; empty when it would.
std::string judge_stream(const char* name, std::span<const std::uint8_t> stream,
                         std::uint32_t fpga_idcode) {
    const StreamVerdict verdict = check_stream(stream);
    const auto at = static_cast<unsigned long>(verdict.at);
    switch (verdict.fault) {
        case StreamFault::NO_SYNC:
            return format_text(
                "Configuration file \"%s\" holds no configuration stream: no sync word "
                "0xAA995566 after its leading 0xFF bytes\n",
                name);
        case StreamFault::BIT_SWAPPED:
            return format_text(
                "Configuration file \"%s\" is bit-swapped in every byte, as PROM files are: "
                "its sync word reads 0x5599AA66\n",
                name);
        default:
            break;
    }
    const Spartan2Part* part = spartan2_part(fpga_idcode);
    const auto size = static_cast<unsigned long>(stream.size());
    if (part != nullptr && stream.size() != part->stream_bytes) {
        return format_text("Configuration file \"%s\" holds a stream of %lu bytes, but an %s takes %lu\n",
                           name, size, part->name, static_cast<unsigned long>(part->stream_bytes));
    }
    if (part == nullptr && std::none_of(SPARTAN2_PARTS.begin(), SPARTAN2_PARTS.end(),
                                        [&](const Spartan2Part& p) { return p.stream_bytes == size; })) {
        return format_text(
            "Configuration file \"%s\" holds a stream of %lu bytes, the size of no Spartan-II "
            "part\n",
            name, size);
    }
    switch (verdict.fault) {
        case StreamFault::BROKEN_PACKET:
            return format_text("Configuration file \"%s\" has a broken packet at stream byte %lu\n",
                               name, at);
        case StreamFault::CRC_MISMATCH:
            return format_text("Configuration file \"%s\" fails its CRC check at stream byte %lu\n",
                               name, at);
        case StreamFault::UNCHECKED:
            return format_text("Configuration file \"%s\" has no CRC check after stream byte %lu\n",
                               name, at);
        default:
            return {};
    }
}

}  // namespace

config_file_ptr config_file_open(const char* name, ConfigFileError* error) {
    ConfigFileError ignored = ConfigFileError::NONE;
    ConfigFileError& why = error != nullptr ? *error : ignored;
    why = ConfigFileError::CANNOT_OPEN;
    if (name == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    platform::WholeFile whole = platform::read_whole_file(name, MAX_CONFIG_FILE_BYTES);
    if (whole.error != 0) {
        errno = whole.error;
        return nullptr;
    }
    if (whole.over_limit) {
        why = ConfigFileError::TOO_LARGE;
        return nullptr;
    }
    config_file_ptr record(new (std::nothrow) config_file);
    if (!record) {
        errno = ENOMEM;
        return nullptr;
    }
    record->contents = std::move(whole.bytes);
    if (!read_header(*record)) {
        why = ConfigFileError::BAD_HEADER;
        return nullptr;
    }
    why = ConfigFileError::NONE;
    return record;
}

std::span<const std::uint8_t> config_file_stream(const config_file& file) {
    const std::size_t held = file.contents.size() - file.data_start;
    return {file.contents.data() + file.data_start, std::min<std::size_t>(held, file.data_length)};
}

std::uint32_t config_file_read(config_file& file, std::uint8_t* buffer, std::uint32_t count) {
    const std::span<const std::uint8_t> stream = config_file_stream(file);
    const std::size_t end = file.data_start + stream.size();
    const auto handed = static_cast<std::uint32_t>(std::min<std::size_t>(count, end - file.position));
    std::memcpy(buffer, file.contents.data() + file.position, handed);
    file.position += handed;
    return handed;
}

void config_file_close(config_file_ptr file) {
    file.reset();
}

config_file_ptr config_file_load(const char* name, std::uint32_t fpga_idcode,
                                 std::string& problem) {
    ConfigFileError error = ConfigFileError::NONE;
    config_file_ptr file = config_file_open(name, &error);
    if (error == ConfigFileError::CANNOT_OPEN) {
        problem = format_text("Can't open configuration file \"%s\": %s\n", name,
                              std::strerror(errno));
        return nullptr;
    }
    if (error == ConfigFileError::TOO_LARGE) {
        problem = format_text("Configuration file \"%s\" is larger than any Spartan-II design "
                              "(over %lu bytes)\n",
                              name, static_cast<unsigned long>(MAX_CONFIG_FILE_BYTES));
        return nullptr;
    }
    // A length beyond the length word's range is no real stream: a bad header.
    if (!file || file->data_length > std::uint32_t{std::numeric_limits<std::int32_t>::max()}) {
        problem = format_text("Configuration file \"%s\" has a bad header\n", name);
        return nullptr;
    }
    const std::span<const std::uint8_t> stream = config_file_stream(*file);
    if (stream.size() < file->data_length) {
        problem = format_text("Configuration file \"%s\" ends after %lu of its %lu data bytes\n",
                              name, static_cast<unsigned long>(stream.size()),
                              static_cast<unsigned long>(file->data_length));
        return nullptr;
    }
    const std::string_view part = part_field(*file);
    const Spartan2Part* fpga = spartan2_part(fpga_idcode);
    if (!part.empty() && fpga != nullptr &&
        (file->part_idcode & IDCODE_VERSION_MASK) != fpga->idcode) {
        problem = format_text(
            "Configuration file \"%s\" is for part %.*s, but the FPGA on the chain is an %s\n",
            name, static_cast<int>(part.size()), part.data(), fpga->name);
        return nullptr;
    }
    problem = judge_stream(name, stream, fpga_idcode);
    if (!problem.empty()) {
        return nullptr;
    }
    return file;
}

}  // namespace oscset::jtag
