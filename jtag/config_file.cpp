#include "jtag/config_file.hpp"

#include <cstring>
#include <new>

#include "jtag/device_table.hpp"
#include "platform/console.hpp"

namespace oscset::jtag {
namespace {

bool read_exact(std::FILE* file, void* buffer, std::size_t count) {
    return std::fread(buffer, 1, count, file) == count;
}

// Reads a field value of `length` bytes into `field`, keeping what fits and skipping the rest.
bool read_field(std::FILE* file, std::array<char, CONFIG_FIELD_SIZE>& field, std::size_t length) {
    field.fill('\0');
    const std::size_t kept = length < field.size() ? length : field.size();
    if (!read_exact(file, field.data(), kept)) {
        return false;
    }
    char skipped[256];
    for (std::size_t left = length - kept; left > 0;) {
        const std::size_t step = left < sizeof skipped ? left : sizeof skipped;
        if (!read_exact(file, skipped, step)) {
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

// A raw stream's data is the whole file: rewinds it and takes its size.
bool take_raw_stream(config_file& record) {
    std::FILE* file = record.handle.get();
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        return false;
    }
    record.data_length = static_cast<std::uint32_t>(size);
    return static_cast<unsigned long>(size) == record.data_length;
}

// Reads the header up to the data field; false for a header cut short or an unknown key.
bool read_header(config_file& record) {
    std::FILE* file = record.handle.get();
    if (!read_exact(file, record.preamble.data(), 1)) {
        return false;
    }
    if (record.preamble[0] == RAW_STREAM_MARK) {
        return take_raw_stream(record);
    }
    if (!read_exact(file, record.preamble.data() + 1, record.preamble.size() - 1)) {
        return false;
    }
    for (;;) {
        std::uint8_t key = 0;
        if (!read_exact(file, &key, 1)) {
            return false;
        }
        if (key == 'e') {
            std::uint8_t length[4];
            if (!read_exact(file, length, sizeof length)) {
                return false;
            }
            record.data_length = std::uint32_t{length[0]} << 24 | std::uint32_t{length[1]} << 16 |
                                 std::uint32_t{length[2]} << 8 | length[3];
            record.part_idcode = lookup_part(record.part_name);
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
        std::uint8_t length[2];
        if (!read_exact(file, length, sizeof length) ||
            !read_field(file, *field, std::size_t{length[0]} << 8 | length[1])) {
            return false;
        }
    }
}

}  // namespace

config_file_ptr config_file_open(const char* name, ConfigFileError* error) {
    ConfigFileError ignored = ConfigFileError::NONE;
    ConfigFileError& why = error != nullptr ? *error : ignored;
    why = ConfigFileError::CANNOT_OPEN;
    if (name == nullptr) {
        return nullptr;
    }
    std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(name, "rb"));
    if (!handle) {
        return nullptr;
    }
    config_file_ptr record(new (std::nothrow) config_file);
    if (!record) {
        return nullptr;  // closes the file
    }
    record->handle = std::move(handle);
    if (!read_header(*record)) {
        why = ConfigFileError::BAD_HEADER;
        return nullptr;
    }
    why = ConfigFileError::NONE;
    return record;
}

std::uint32_t config_file_read(config_file& file, std::uint8_t* buffer, std::uint32_t count) {
    if (!file.handle) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::fread(buffer, 1, count, file.handle.get()));
}

void config_file_close(config_file_ptr file) {
    file.reset();
}

}  // namespace oscset::jtag
