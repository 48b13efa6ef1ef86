// ihx2bin <input.ihx> <output.bin> <size> <fill>
// Turns an Intel-hex file into a raw image of exactly <size> bytes from address 0, with every
// byte that no record sets holding <fill>. Accepts data and end-of-file records only; refuses
// bad checksums, records beyond the image, bytes set twice with different values and a file
// without its end record, so that a broken build never yields an image.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The record's bytes after the colon, or an empty vector when the text is not hex pairs.
std::vector<unsigned> record_bytes(const std::string& line) {
    std::vector<unsigned> bytes;
    if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0)
        return {};
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
        const int hi = hex_value(line[i]);
        const int lo = hex_value(line[i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        bytes.push_back(static_cast<unsigned>(hi * 16 + lo));
    }
    return bytes;
}

int fail(const char* what, unsigned line_number) {
    std::fprintf(stderr, "ihx2bin: line %u: %s\n", line_number, what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: ihx2bin <input.ihx> <output.bin> <size> <fill>\n");
        return 2;
    }
    const unsigned long size = std::strtoul(argv[3], nullptr, 0);
    const unsigned long fill = std::strtoul(argv[4], nullptr, 0);
    if (size == 0 || size > 0x10000 || fill > 0xFF) {
        std::fprintf(stderr, "ihx2bin: bad size or fill\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "ihx2bin: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> image(size, static_cast<unsigned char>(fill));
    std::vector<bool> set(size, false);
    std::string line;
    unsigned line_number = 0;
    bool ended = false;
    while (std::getline(in, line)) {
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (ended)
            return fail("text after the end record", line_number);
        const std::vector<unsigned> bytes = record_bytes(line);
        if (bytes.empty())
            return fail("not a hex record", line_number);
        const unsigned count = bytes[0];
        if (bytes.size() != count + 5u)
            return fail("length does not match the record", line_number);
        unsigned sum = 0;
        for (unsigned b : bytes)
            sum += b;
        if (sum % 256 != 0)
            return fail("checksum error", line_number);
        const unsigned address = bytes[1] * 256 + bytes[2];
        const unsigned type = bytes[3];
        if (type == 1) {
            ended = true;
            continue;
        }
        if (type != 0)
            return fail("record type other than data or end", line_number);
        if (address + count > size)
            return fail("data beyond the image", line_number);
        for (unsigned i = 0; i < count; ++i) {
            const unsigned char value = static_cast<unsigned char>(bytes[4 + i]);
            if (set[address + i] && image[address + i] != value) {
                return fail("byte set twice with different values", line_number);
            }
            image[address + i] = value;
            set[address + i] = true;
        }
    }
    if (!ended)
        return fail("no end record", line_number);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "ihx2bin: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
