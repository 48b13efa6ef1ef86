// The firmware image: its form, the committed copy against a rebuild from the sources, and
// the Intel-hex step that makes it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "resources/ezusb_firmware.hpp"

namespace oscset::firmware_test {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
}

fs::path scratch(const std::string& name) {
    const fs::path dir =
        fs::temp_directory_path() / ("oscset_firmware_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir / name;
}

TEST(Image, HasTheImageForm) {
    const std::span<const std::uint8_t> image = resources::ezusb_firmware();
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(image[0], 0x02) << "a long jump at the reset address";
    const unsigned target = image[1] << 8 | image[2];
    EXPECT_LT(target, 4096u);
    EXPECT_NE(image[target], 0xAA) << "the jump lands in code";
    // The unused vector slots: SDCC puts a RETI at each, the rest of the slot is unused.
    EXPECT_EQ(image[0x03], 0x32);
    for (unsigned a = 0x04; a < 0x0B; ++a)
        EXPECT_EQ(image[a], 0xAA) << a;
    EXPECT_EQ(image[0x43], 0x02) << "the USB interrupt's long jump";
    // Everything after the last byte of code and tables is fill.
    std::size_t end = image.size();
    while (end > 0 && image[end - 1] == 0xAA)
        --end;
    EXPECT_GT(end, 0x200u);
    EXPECT_LT(end, 0x1000u - 0x100u) << "room left in the 4 KiB";
}

TEST(Image, EmbeddedImageIsTheCommittedFile) {
    const std::vector<std::uint8_t> committed = read_file(OSCSET_COMMITTED_FIRMWARE);
    const std::span<const std::uint8_t> embedded = resources::ezusb_firmware();
    EXPECT_EQ(committed, std::vector<std::uint8_t>(embedded.begin(), embedded.end()));
}

TEST(Image, CommittedImageIsBuiltFromTheSources) {
    if (std::string(OSCSET_REBUILT_FIRMWARE).empty())
        GTEST_SKIP() << "SDCC (Debian package sdcc) is not installed";
    EXPECT_EQ(read_file(OSCSET_REBUILT_FIRMWARE), read_file(OSCSET_COMMITTED_FIRMWARE))
        << "rebuild and run `cmake --build build --target ezusb_firmware_update` after changing "
           "firmware/";
}

TEST(Image, RebuildIsByteIdentical) {
    if (std::string(OSCSET_SDCC).empty())
        GTEST_SKIP() << "SDCC (Debian package sdcc) is not installed";
    const fs::path work = scratch("build");
    const fs::path ihx = scratch("again.ihx");
    const fs::path bin = scratch("again.bin");
    const std::string build =
        quoted(OSCSET_CMAKE) + " -DSDCC=" + quoted(OSCSET_SDCC) + " -DSDAS=" + quoted(OSCSET_SDAS) +
        " -DSOURCE_DIR=" + quoted(OSCSET_FIRMWARE_SOURCES) +
        " -DWORK_DIR=" + quoted(work.string()) + " -DOUTPUT=" + quoted(ihx.string()) + " -P " +
        quoted(std::string(OSCSET_FIRMWARE_SOURCES) + "/build.cmake") + " > /dev/null";
    ASSERT_EQ(run(build), 0);
    ASSERT_EQ(run(quoted(OSCSET_IHX2BIN) + " " + quoted(ihx.string()) + " " + quoted(bin.string()) +
                  " 4096 0xAA"),
              0);
    EXPECT_EQ(read_file(bin), read_file(OSCSET_COMMITTED_FIRMWARE));
    fs::remove_all(work.parent_path());
}

struct HexCase {
    const char* name;
    const char* text;
    int size;
    bool accepted;
    std::vector<std::uint8_t> image;  // when accepted
};

const HexCase HEX[] = {
    {"two records and a gap",
     ":0200000002AA52\n:020006001234B2\n:00000001FF\n",
     8,
     true,
     {0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0x12, 0x34}},
    {"lines ending in CR LF", ":0100000055AA\r\n:00000001FF\r\n", 2, true, {0x55, 0xAA}},
    {"the same byte twice", ":0100000055AA\n:0100000055AA\n:00000001FF\n", 1, true, {0x55}},
    {"bad checksum", ":0100000055AB\n:00000001FF\n", 2, false, {}},
    {"data beyond the image", ":020001001122CA\n:00000001FF\n", 2, false, {}},
    {"a byte set twice with different values",
     ":0100000055AA\n:0100000056A9\n:00000001FF\n",
     2,
     false,
     {}},
    {"no end record", ":0100000055AA\n", 2, false, {}},
    {"extended address record", ":020000040000FA\n:00000001FF\n", 2, false, {}},
    {"not hex", ":01000000G5AA\n:00000001FF\n", 2, false, {}},
    {"length does not match", ":0200000055A9\n:00000001FF\n", 2, false, {}},
    {"text after the end", ":00000001FF\n:0100000055AA\n", 2, false, {}},
};

TEST(Ihx2bin, TurnsHexIntoAFilledImageOrRefuses) {
    for (const HexCase& c : HEX) {
        SCOPED_TRACE(c.name);
        const fs::path in = scratch("in.ihx");
        const fs::path out = scratch("out.bin");
        fs::remove(out);
        std::ofstream(in, std::ios::binary) << c.text;
        const int status =
            run(quoted(OSCSET_IHX2BIN) + " " + quoted(in.string()) + " " + quoted(out.string()) +
                " " + std::to_string(c.size) + " 0xAA 2> /dev/null");
        EXPECT_EQ(status == 0, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(read_file(out), c.image);
        } else {
            EXPECT_FALSE(fs::exists(out)) << "no image from a broken file";
        }
    }
    fs::remove_all(scratch("x").parent_path());
}

}  // namespace
}  // namespace oscset::firmware_test
