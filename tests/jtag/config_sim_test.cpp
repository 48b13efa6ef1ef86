// The configuration engine against the simulated board: what the chip ends up with.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/config_engine.hpp"
#include "jtag/tap.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "resources/config_image.hpp"
#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/support/recording_cable.hpp"
#include "tests/support/temp_file.hpp"

namespace oscset::jtag {
namespace {

using bytes = std::vector<std::uint8_t>;

// A board behind a spy on the direct cable, in simulated time.
struct OnBoard {
    explicit OnBoard(sim::BoardConfig config) : board(config), direct(board), spy(direct) {
        chain_forget();
        set_current_user_type(USER_TYPE_UNKNOWN);
    }
    ~OnBoard() {
        background_reset();
        chain_forget();
    }
    // The data bits of every long shift (the stream's blocks), in order.
    std::vector<std::uint32_t> stream_shifts() const {
        std::vector<std::uint32_t> out;
        for (const testing::ShiftCall& c : spy.calls) {
            if (!c.tdi.empty() && c.count > 288) {
                out.push_back(c.count);
            }
        }
        return out;
    }
    platform::SimulatedTime time{0};
    sim::Board board;
    sim::DirectCable direct;
    testing::SpyCable spy;
    testing::InstalledCable installed{spy};
};

sim::BoardConfig chain_of(std::vector<std::string> parts, bool configured = false) {
    sim::BoardConfig config;
    config.chain = std::move(parts);
    config.fpga_configured = configured;
    return config;
}

status_t configure(const bytes& image) {
    std::int32_t length = static_cast<std::int32_t>(image.size());
    return fpga_configure(image.data(), &length);
}

bytes embedded_image() {
    const auto image = resources::config_image();
    return bytes(image.begin(), image.end());
}

struct ChainCase {
    std::vector<std::string> chain;
    std::size_t fpga;
};

class ConfigureOnBoard : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ConfigureOnBoard, TheEmbeddedImageBringsTheFpgaUp) {
    OnBoard on(chain_of(GetParam().chain));
    EXPECT_EQ(configure(embedded_image()), STATUS_OK);
    const sim::Fpga* fpga = on.board.fpga(GetParam().fpga);
    ASSERT_NE(fpga, nullptr);
    EXPECT_TRUE(fpga->done());
    EXPECT_FALSE(fpga->crc_error());
    EXPECT_FALSE(fpga->shutdown_happened()) << "a blank FPGA needs no shutdown";
    EXPECT_TRUE(on.time.sleeps().empty());
    EXPECT_EQ(current_user_type(), USER_TYPE_UNKNOWN);
    // 23 blocks of 4096 bytes and one of 3,444, in one scan; the last one carries the
    // TDI-side pad after it.
    std::vector<std::uint32_t> blocks(23, 32768);
    blocks.push_back(3444 * 8);
    EXPECT_EQ(on.stream_shifts(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Chains, ConfigureOnBoard,
                         ::testing::Values(ChainCase{{"2s100"}, 0},
                                           ChainCase{{"2s100", "xcf01s"}, 0},
                                           ChainCase{{"xcf01s", "2s100"}, 1},
                                           ChainCase{{"xcf08p", "2s100", "18v256", "xcf01s"}, 1},
                                           ChainCase{{"2s100", "2s50"}, 0}));

TEST(ConfigureOnBoard, ARunningFpgaIsShutDownFirst) {
    OnBoard on(chain_of({"2s100"}, true));
    ASSERT_TRUE(on.board.first_fpga()->done());
    EXPECT_EQ(configure(embedded_image()), STATUS_OK);
    EXPECT_TRUE(on.board.first_fpga()->shutdown_happened());
    EXPECT_TRUE(on.board.first_fpga()->done());
    EXPECT_EQ(on.time.sleeps(), (std::vector<std::uint32_t>{50, 50, 50}));
}

TEST(ConfigureOnBoard, AFlippedBitFailsTheCrcAndTheFpgaStaysDown) {
    {
        OnBoard on(chain_of({"2s100"}));
        bytes image = embedded_image();
        image[40'000] ^= 0x08;
        EXPECT_EQ(configure(image), STATUS_NOT_CONFIGURED);
        EXPECT_TRUE(on.board.first_fpga()->crc_error());
        EXPECT_FALSE(on.board.first_fpga()->done());
    }
    OnBoard real(chain_of({"2s30"}));
    bytes file = testing::read_file(testing::test_data("xc2s30-proxmark-hf.bit"));
    file[20'000] ^= 0x40;  // frame data
    const testing::TempFile flipped(file);
    std::int32_t length = 0;
    EXPECT_EQ(fpga_configure(flipped.path(), &length), STATUS_NOT_CONFIGURED);
    EXPECT_TRUE(real.board.first_fpga()->crc_error());
    EXPECT_FALSE(real.board.first_fpga()->done());
}

TEST(ConfigureOnBoard, TheLengthWordCountsDownBlockByBlock) {
    OnBoard on(chain_of({"2s100"}));
    const bytes image = embedded_image();
    std::int32_t length = static_cast<std::int32_t>(image.size());
    std::vector<std::int32_t> seen;
    on.spy.on_shift = [&](const testing::ShiftCall& c) {
        if (!c.tdi.empty() && c.count > 288) {
            seen.push_back(length);
        }
    };
    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_OK);
    ASSERT_EQ(seen.size(), 24u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], 97'652 - static_cast<std::int32_t>(i) * 4096);
    }
    EXPECT_EQ(seen.back(), 3444);
    EXPECT_EQ(length, 0);
}

TEST(ConfigureOnBoard, ProgressIsPrintedUntilTheWorkerEnds) {
    OnBoard on(chain_of({"2s100"}));
    const bytes image = embedded_image();
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(image.data(), static_cast<std::int32_t>(image.size())),
              STATUS_OK);
    const std::string out = console.text();
    const std::string line = "\rConfigration remain=";
    ASSERT_EQ(out.rfind(line, 0), 0u);
    ASSERT_GE(out.size(), line.size() + 9);
    EXPECT_EQ(out.substr(out.size() - line.size() - 9), line + "       0\n");
    long previous = 97'652;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        const long value = std::stol(out.substr(at + line.size(), 8));
        EXPECT_LE(value, previous);
        previous = value;
    }
    EXPECT_TRUE(on.board.first_fpga()->done());
}

TEST(ConfigureOnBoard, NoChainShowsTheLengthWithItsBackgroundBit) {
    OnBoard on(chain_of({"xcf01s"}));
    const bytes image = embedded_image();
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(image.data(), 97'652), STATUS_NO_FPGA);
    EXPECT_EQ(console.text(), "\rConfigration remain=-2147385996\n");
}

struct FileCase {
    const char* file;
    const char* part;
    unsigned crc_checks;        // 0: one after every frame
    std::size_t raw_bytes = 0;  // nonzero: only the stream, the file's last bytes, as a raw file
};

class ConfigureFromFile : public ::testing::TestWithParam<FileCase> {};

// Streams from the vendor's tools, each into the part of its size. The XCV100 has the
// XC2S100's IDCODE and frame geometry; its .bit names another part, its raw stream none.
TEST_P(ConfigureFromFile, TheFpgaRunsTheWholeDesign) {
    OnBoard on(chain_of({GetParam().part}));
    std::string file = testing::test_data(GetParam().file);
    std::unique_ptr<testing::TempFile> raw;
    if (GetParam().raw_bytes != 0) {
        const bytes all = testing::read_file(file);
        raw = std::make_unique<testing::TempFile>(
            bytes(all.end() - static_cast<std::ptrdiff_t>(GetParam().raw_bytes), all.end()));
        file = raw->path();
    }
    std::int32_t length = 0;
    EXPECT_EQ(fpga_configure(file.c_str(), &length), STATUS_OK);
    const sim::Fpga& fpga = *on.board.first_fpga();
    EXPECT_TRUE(fpga.done());
    EXPECT_FALSE(fpga.crc_error());
    EXPECT_TRUE(fpga.configured()) << "every frame word arrived";
    if (GetParam().crc_checks != 0) {
        EXPECT_EQ(fpga.config().crc_checks(), GetParam().crc_checks);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigureFromFile,
                         ::testing::Values(FileCase{"xcv100-debug.bit", "2s100", 0, 132'412},
                                           FileCase{"xc2s200-hostmot2-5i20-svst8_4.bit", "2s200",
                                                    2},
                                           FileCase{"xc2s150-pci-crt.bit", "2s150", 2},
                                           FileCase{"xc2s50-pm3-ult-hf.bit", "2s50", 2},
                                           FileCase{"xc2s30-proxmark-hf.bit", "2s30", 2}));

// A file is judged before anything reaches the FPGA: a cut one, and one for another part.
TEST(ConfigureOnBoard, FilesThatCannotBeSentAreRefusedUntouched) {
    bytes cut = testing::read_file(testing::test_data("xc2s30-proxmark-hf.bit"));
    cut.resize(cut.size() - 42'096 + 5000);  // the header promises 42,096 bytes
    const testing::TempFile cut_file(cut);
    const std::string other_part = testing::test_data("xcv100-debug.bit");
    for (const char* name : {cut_file.path(), other_part.c_str()}) {
        OnBoard on(chain_of({"2s100"}, /*configured=*/true));
        std::int32_t length = 0;
        EXPECT_EQ(fpga_configure(name, &length), STATUS_FILE_ERROR) << name;
        EXPECT_TRUE(on.stream_shifts().empty()) << name;
        EXPECT_TRUE(on.board.first_fpga()->configured()) << name << ": the running design stays";
        EXPECT_EQ(length, 0) << name;
    }
}

TEST(ConfigureOnBoard, AMissingFileIsAFileError) {
    OnBoard on(chain_of({"2s100"}));
    std::int32_t length = 0;
    EXPECT_EQ(fpga_configure("/nonexistent/board.bit", &length), STATUS_FILE_ERROR);
    EXPECT_TRUE(on.stream_shifts().empty());
}

}  // namespace
}  // namespace oscset::jtag
