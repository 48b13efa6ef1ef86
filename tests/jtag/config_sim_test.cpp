// The configuration engine against the simulated board: what the chip ends up with.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/config_engine.hpp"
#include "jtag/config_file.hpp"
#include "jtag/tap.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "resources/config_image.hpp"
#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/support/recording_cable.hpp"
#include "tests/sim_board/streams.hpp"
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

// A memory image goes out unchanged: the chip itself finds the flipped bit.
TEST(ConfigureOnBoard, AFlippedBitFailsTheCrcAndTheFpgaStaysDown) {
    OnBoard on(chain_of({"2s100"}));
    bytes image = embedded_image();
    image[40'000] ^= 0x08;
    EXPECT_EQ(configure(image), STATUS_NOT_CONFIGURED);
    EXPECT_TRUE(on.board.first_fpga()->crc_error());
    EXPECT_FALSE(on.board.first_fpga()->done());
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

TEST(ConfigureOnBoard, NoChainShowsTheLengthWithoutTheRequestFlag) {
    OnBoard on(chain_of({"xcf01s"}));
    const bytes image = embedded_image();
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(image.data(), 97'652), STATUS_NO_FPGA);
    EXPECT_EQ(console.text(), "\rConfigration remain=   97652\n");
}

struct FileCase {
    const char* file;
    const char* part;
    unsigned crc_checks;        // 0: one after every frame
    std::size_t raw_bytes = 0;  // nonzero: only the stream, the file's last bytes, in memory
};

class ConfigureFromFile : public ::testing::TestWithParam<FileCase> {};

// Streams from the vendor's tools, each into the part of its size. The XCV100 has the
// XC2S100's IDCODE and frame geometry; its debug stream, larger than a regular one, goes in as
// a memory image (a file of its size is refused).
TEST_P(ConfigureFromFile, TheFpgaRunsTheWholeDesign) {
    OnBoard on(chain_of({GetParam().part}));
    const std::string file = testing::test_data(GetParam().file);
    if (GetParam().raw_bytes != 0) {
        const bytes all = testing::read_file(file);
        EXPECT_EQ(configure(bytes(all.end() - static_cast<std::ptrdiff_t>(GetParam().raw_bytes),
                                  all.end())),
                  STATUS_OK);
    } else {
        std::int32_t length = 0;
        EXPECT_EQ(fpga_configure(file.c_str(), &length), STATUS_OK);
    }
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

// The proxmark design: a .bit of 79 header bytes and an XC2S30 stream of 42,096, whose CRC
// checks stand at stream bytes 42,004 and 42,076.
constexpr const char* XC2S30_DESIGN = "xc2s30-proxmark-hf.bit";
constexpr std::size_t XC2S30_HEADER = 79;

bytes xc2s30_bit() {
    return testing::read_file(testing::test_data(XC2S30_DESIGN));
}
bytes xc2s30_stream() {
    const bytes all = xc2s30_bit();
    return bytes(all.begin() + XC2S30_HEADER, all.end());
}
bytes with_length_field(std::uint32_t length) {
    bytes file = xc2s30_bit();
    for (std::size_t i = 0; i < 4; ++i) {
        file[XC2S30_HEADER - 4 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    }
    return file;
}
bytes first(bytes b, std::size_t count) {
    b.resize(count);
    return b;
}
bytes flipped(bytes b, std::size_t at, std::uint8_t bits) {
    b[at] ^= bits;
    return b;
}

struct RefusedFile {
    const char* name;
    const char* fpga;
    bytes content;            // the file's bytes, when no path is given
    std::string path;         // a path of its own (a folder, a missing file)
    std::string line;         // the reason, FILE standing for the path
};

void PrintTo(const RefusedFile& r, std::ostream* os) {
    *os << r.name;
}

const std::string LONG_MISSING_PATH = "/nonexistent/" + std::string(200, 'a') + "/" +
                                      std::string(200, 'b') + "/" + std::string(200, 'c') +
                                      "/board.bit";

class RefusedFiles : public ::testing::TestWithParam<RefusedFile> {};

// Each refused before anything reaches the FPGA, whose design keeps running, with one line.
TEST_P(RefusedFiles, LeaveTheRunningDesignAndSayWhy) {
    const RefusedFile& r = GetParam();
    std::unique_ptr<testing::TempFile> temp;
    std::string path = r.path;
    if (path.empty()) {
        temp = std::make_unique<testing::TempFile>(r.content);
        path = temp->path();
    }
    OnBoard on(chain_of({r.fpga}, /*configured=*/true));
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(ConfigSource::design_file(path.c_str())),
              STATUS_FILE_ERROR);
    std::string line = r.line;
    line.replace(line.find("FILE"), 4, path);
    EXPECT_EQ(console.text(), "\rConfigration remain=       0\n" + line + "\n");
    EXPECT_TRUE(on.stream_shifts().empty());
    EXPECT_FALSE(on.board.first_fpga()->shutdown_happened());
    EXPECT_TRUE(on.board.first_fpga()->configured()) << "the running design stays";
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFiles,
    ::testing::Values(
        RefusedFile{"Missing", "2s30", {}, "/nonexistent/board.bit",
                    "Can't open configuration file \"FILE\": No such file or directory"},
        RefusedFile{"Folder", "2s30", {}, testing::test_data("."),
                    "Can't open configuration file \"FILE\": Is a directory"},
        RefusedFile{"LongPath", "2s30", {}, LONG_MISSING_PATH,
                    "Can't open configuration file \"FILE\": No such file or directory"},
        RefusedFile{"TooLarge", "2s30", bytes(MAX_CONFIG_FILE_BYTES + 1, 0xFF), "",
                    "Configuration file \"FILE\" is larger than any Spartan-II design (over "
                    "1048576 bytes)"},
        RefusedFile{"Cut", "2s30", first(xc2s30_bit(), 5079), "",
                    "Configuration file \"FILE\" ends after 5000 of its 42096 data bytes"},
        RefusedFile{"AnotherPart", "2s100", xc2s30_bit(), "",
                    "Configuration file \"FILE\" is for part 2s30vq100, but the FPGA on the "
                    "chain is an XC2S100"},
        RefusedFile{"LengthFieldZero", "2s30", with_length_field(0), "",
                    "Configuration file \"FILE\" holds no configuration stream: no sync word "
                    "0xAA995566 after its leading 0xFF bytes"},
        RefusedFile{"LengthFieldShort", "2s30", with_length_field(42'000), "",
                    "Configuration file \"FILE\" holds a stream of 42000 bytes, but an XC2S30 "
                    "takes 42096"},
        RefusedFile{"OneDummyByte", "2s30", bytes{0xFF}, "",
                    "Configuration file \"FILE\" holds no configuration stream: no sync word "
                    "0xAA995566 after its leading 0xFF bytes"},
        RefusedFile{"BitSwapped", "2s15",
                    testing::read_file(testing::test_data("bit-swapped-xc2s15.bin")), "",
                    "Configuration file \"FILE\" is bit-swapped in every byte, as PROM files "
                    "are: its sync word reads 0x5599AA66"},
        RefusedFile{"RawCutMidFrame", "2s30",
                    first(xc2s30_stream(), 30'000), "",
                    "Configuration file \"FILE\" holds a stream of 30000 bytes, but an XC2S30 "
                    "takes 42096"},
        RefusedFile{"RawOfAnotherPart", "2s100", xc2s30_stream(), "",
                    "Configuration file \"FILE\" holds a stream of 42096 bytes, but an XC2S100 "
                    "takes 97652"},
        RefusedFile{"CorruptCrcWord", "2s30", flipped(xc2s30_stream(), 42'007, 0x01), "",
                    "Configuration file \"FILE\" fails its CRC check at stream byte 42004"},
        RefusedFile{"FlippedDataBit", "2s30", flipped(xc2s30_stream(), 20'000, 0x40), "",
                    "Configuration file \"FILE\" fails its CRC check at stream byte 42004"},
        RefusedFile{"FlippedBitAfterTheFirstCheck", "2s30",
                    flipped(xc2s30_stream(), 42'050, 0x02), "",
                    "Configuration file \"FILE\" fails its CRC check at stream byte 42076"}),
    [](const auto& info) { return std::string(info.param.name); });

// The progress line's values, each line whole; it never rises, never passes the stream's
// length, and ends at 0 with the line's end.
void expect_progress_counts_down(const std::string& out, long length) {
    const std::string line = "\rConfigration remain=";
    ASSERT_EQ(out.rfind(line, 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - line.size() - 9), line + "       0\n");
    long previous = length;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        const long value = std::stol(out.substr(at + line.size(), 8));
        EXPECT_LE(value, previous) << out;
        previous = value;
    }
}

TEST(ConfigureOnBoard, ProgressIsPrintedUntilTheWorkerEnds) {
    OnBoard on(chain_of({"2s100"}));
    const bytes image = embedded_image();
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(image.data(), static_cast<std::int32_t>(image.size())),
              STATUS_OK);
    expect_progress_counts_down(console.text(), 97'652);
    EXPECT_TRUE(on.board.first_fpga()->done());
}

// A design file that passes every check and that the FPGA still does not take: one line says
// what the FPGA reported. A start-up that shuts the design down leaves DONE low; a CRC error
// left by an earlier stream stays until power-up.
TEST(ConfigureOnBoard, WhenTheFpgaRefusesAPassedFileOneLineSaysSo) {
    sim::testing::StreamForm shutdown = sim::testing::spartan2_form("2s30");
    shutdown.cor |= 0x8000;  // SHUTDOWN: START runs the start-up backwards
    bytes flipped_image = embedded_image();
    flipped_image[40'000] ^= 0x08;
    struct Case {
        bytes before;  // a memory image loaded first
        bytes file;
        const char* chain;
        const char* line;
    } cases[] = {
        {{}, sim::testing::to_bytes(sim::testing::build_stream_words(shutdown)), "2s30",
         "The FPGA did not start after the stream of \"FILE\" (no DONE)\n"},
        {flipped_image, embedded_image(), "2s100", "The FPGA reports a CRC error after the stream of \"FILE\"\n"},
    };
    for (const Case& c : cases) {
        OnBoard on(chain_of({c.chain}));
        if (!c.before.empty()) {
            EXPECT_EQ(configure(c.before), STATUS_NOT_CONFIGURED);
        }
        const testing::TempFile file(c.file);
        platform::ConsoleCapture console;
        EXPECT_EQ(fpga_configure_with_progress(ConfigSource::design_file(file.path())),
                  STATUS_NOT_CONFIGURED);
        std::string line = c.line;
        line.replace(line.find("FILE"), 4, file.path());
        EXPECT_EQ(console.text().substr(console.text().find('\n') + 1), line);
    }
}

#if !defined(_WIN32)
// A design file through a pipe, as process substitution gives one: its writer writes once
// released (or after a while), then ends.
class PipedFile {
  public:
    explicit PipedFile(bytes data) : data_(std::move(data)) {
        if (::pipe(fds_) != 0) {
            ADD_FAILURE() << "no pipe";
            return;
        }
        path_ = "/dev/fd/" + std::to_string(fds_[0]);
        writer_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            released_.wait_for(lock, std::chrono::milliseconds(300), [this] { return go_; });
            lock.unlock();
            for (std::size_t at = 0; at < data_.size();) {
                const ssize_t put = ::write(fds_[1], data_.data() + at, data_.size() - at);
                if (put <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(put);
            }
            ::close(fds_[1]);
        });
    }
    ~PipedFile() {
        release();
        if (writer_.joinable()) {
            writer_.join();
        }
        ::close(fds_[0]);
    }
    void release() {
        std::lock_guard lock(mutex_);
        go_ = true;
        released_.notify_all();
    }
    const char* path() const { return path_.c_str(); }

  private:
    bytes data_;
    int fds_[2] = {-1, -1};
    std::string path_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool go_ = false;
    std::thread writer_;
};

// A design whose writer is slow: the first progress line waits for its length. Its writer
// starts once a progress line has been printed, so a count shown before the length is known
// would be seen.
TEST(ConfigureOnBoard, ADesignFileThatArrivesLateShowsItsLengthFirst) {
    OnBoard on(chain_of({"2s30"}, /*configured=*/true));
    PipedFile piped(testing::read_file(testing::test_data(XC2S30_DESIGN)));
    on.time.on_sleep([&](std::uint32_t ms) {
        if (ms == PROGRESS_MS) {
            piped.release();
        }
    });
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(piped.path(), 0), STATUS_OK);
    on.time.on_sleep(nullptr);
    expect_progress_counts_down(console.text(), 42'096);
    EXPECT_TRUE(on.board.first_fpga()->configured());
}

// Pipes read like files: a raw stream is taken whole, a cut design refused untouched, and a
// FIFO that nobody writes reads as empty at once.
TEST(ConfigureOnBoard, PipesAndFifosReadLikeFiles) {
    {
        OnBoard on(chain_of({"2s30"}));
        PipedFile raw(xc2s30_stream());
        raw.release();
        platform::ConsoleCapture console;
        EXPECT_EQ(fpga_configure_with_progress(ConfigSource::design_file(raw.path())), STATUS_OK);
        EXPECT_TRUE(on.board.first_fpga()->configured());
    }
    OnBoard on(chain_of({"2s30"}, /*configured=*/true));
    PipedFile cut(first(xc2s30_bit(), 20'079));
    cut.release();
    const std::string fifo = ::testing::TempDir() + "oscset-fifo-" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, line] :
         {std::pair{std::string(cut.path()), "\" ends after 20000 of its 42096 data bytes\n"},
          std::pair{fifo, "\" has a bad header\n"}}) {
        platform::ConsoleCapture console;
        EXPECT_EQ(fpga_configure_with_progress(ConfigSource::design_file(path.c_str())),
                  STATUS_FILE_ERROR);
        EXPECT_EQ(console.text(), "\rConfigration remain=       0\nConfiguration file \"" + path +
                                      line);
    }
    ::unlink(fifo.c_str());
    EXPECT_FALSE(on.board.first_fpga()->shutdown_happened());
}
#endif

}  // namespace
}  // namespace oscset::jtag
