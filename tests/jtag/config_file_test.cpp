#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "jtag/config_file.hpp"
#include "platform/console.hpp"
#include "tests/support/temp_file.hpp"

namespace oscset::jtag {
namespace {

using testing::TempFile;
using bytes = std::vector<std::uint8_t>;

const bytes preamble{0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};

bytes field(char key, const std::string& value) {
    bytes f{static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(value.size() >> 8),
            static_cast<std::uint8_t>(value.size())};
    for (char c : value) {
        f.push_back(static_cast<std::uint8_t>(c));
    }
    return f;
}

bytes data_field(std::uint32_t length, const bytes& data = {}) {
    bytes f{'e', static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

bytes file_of(std::initializer_list<bytes> parts) {
    bytes all;
    for (const bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

std::string text(const std::array<char, CONFIG_FIELD_SIZE>& f) {
    return std::string(f.data(), strnlen(f.data(), f.size()));
}

TEST(ConfigFile, ReadsTheRealFilesHeaders) {
    struct Case {
        const char* file;
        const char* part;
        std::uint32_t idcode;
        std::uint32_t length;
    };
    for (const Case& x :
         {Case{"xcv100-debug.bit", "v100bg256", 0x00A14093, 132'412},
          Case{"xcv50-reference.bit", "v50bg256", 0x00A10093, 69'900},
          Case{"xcv50e-reference.bit", "v50ecs144", 0x00A10093, 78'756},
          Case{"xcv50-debug.bit", "v50bg256", 0x00A10093, 98'900},
          Case{"xc2s200-hostmot2-5i20-svst8_4.bit", "2s200pq208", 0x0061C093, 166'980},
          Case{"xc2s150-pci-crt.bit", "2s150pq208", 0x00618093, 130'012},
          Case{"xc2s50-pm3-ult-hf.bit", "2s50tq144", 0x00610093, 69'900},
          Case{"xc2s30-proxmark-hf.bit", "2s30vq100", 0x0060C093, 42'096}}) {
        config_file_ptr f = config_file_open(testing::test_data(x.file).c_str());
        ASSERT_TRUE(f) << x.file;
        EXPECT_EQ(text(f->part_name), x.part);
        EXPECT_EQ(f->part_idcode, x.idcode) << x.file;
        EXPECT_EQ(f->data_length, x.length);
        std::vector<std::uint8_t> stream(f->data_length + 10);
        EXPECT_EQ(config_file_read(*f, stream.data(), 4096), 4096u);
        EXPECT_EQ(stream[0], 0xFF) << "positioned at the first stream byte";
        std::uint32_t total = 4096;
        while (std::uint32_t got = config_file_read(*f, stream.data() + total, 4096)) {
            total += got;
        }
        EXPECT_EQ(total, x.length);
        config_file_close(std::move(f));
    }
}

TEST(ConfigFile, FieldsInAnyOrderAndTheirTerminators) {
    platform::ConsoleCapture console;
    TempFile file(file_of({preamble, field('b', std::string("2s150pq208") + '\0'),
                           field('a', "top.ncd"), field('d', "12:00:00"), field('c', "2026/12/08"),
                           data_field(4, {0xFF, 1, 2, 3})}));
    config_file_ptr f = config_file_open(file.path());
    ASSERT_TRUE(f);
    EXPECT_EQ(text(f->design_name), "top.ncd");
    EXPECT_EQ(text(f->part_name), "2s150pq208");
    EXPECT_EQ(text(f->date), "2026/12/08");
    EXPECT_EQ(text(f->time), "12:00:00");
    EXPECT_EQ(f->part_idcode, 0x00618093u);
    EXPECT_EQ(f->data_length, 4u);
    EXPECT_EQ(console.text(), "");
}

TEST(ConfigFile, PartLookupTakesTheFirstPrefixInTableOrder) {
    struct Case {
        const char* part;
        std::uint32_t idcode;
    };
    for (const Case& x : {Case{"2s15tq144", 0x00608093}, Case{"2s150pq208", 0x00618093},
                          Case{"3s100evq100", 0x01C10093}, Case{"v100bg256", 0x00A14093},
                          Case{"xcv100", 0}, Case{"", 0}, Case{"3s1500fg456", 0x01428093}}) {
        TempFile file(file_of({preamble, field('b', x.part), data_field(0)}));
        config_file_ptr f = config_file_open(file.path());
        ASSERT_TRUE(f) << x.part;
        EXPECT_EQ(f->part_idcode, x.idcode) << x.part;
    }
}

TEST(ConfigFile, OnlyAPreambleAndADataField) {
    TempFile file(file_of({preamble, data_field(3, {0xFF, 0xFF, 0xFF})}));
    config_file_ptr f = config_file_open(file.path());
    ASSERT_TRUE(f);
    EXPECT_EQ(text(f->design_name), "");
    EXPECT_EQ(f->part_idcode, 0u);
    EXPECT_EQ(f->data_start, 18u);
}

TEST(ConfigFile, RefusesBadHeaders) {
    struct Case {
        bytes content;
        const char* printed;
    };
    const bytes cut_value = file_of({preamble, {'a', 0x00, 0x10, 'x', 'y'}});
    for (const Case& x :
         {Case{file_of({preamble, {0x66}}), "Unknown header ID 66 found\n"},
          Case{file_of({preamble, {0x00}}), "Unknown header ID 00 found\n"},
          Case{file_of({preamble, field('a', "x"), {0xE5}}), "Unknown header ID e5 found\n"},
          Case{preamble, ""}, Case{bytes(preamble.begin(), preamble.begin() + 7), ""},
          Case{cut_value, ""}, Case{file_of({preamble, {'a', 0x00}}), ""},
          Case{file_of({preamble, {'e', 0x00, 0x01}}), ""}, Case{bytes{}, ""}}) {
        platform::ConsoleCapture console;
        TempFile file(x.content);
        ConfigFileError error = ConfigFileError::NONE;
        EXPECT_FALSE(config_file_open(file.path(), &error));
        EXPECT_EQ(error, ConfigFileError::BAD_HEADER);
        EXPECT_EQ(console.text(), x.printed);
    }
    ConfigFileError error = ConfigFileError::NONE;
    EXPECT_FALSE(config_file_open("/nonexistent/oscset/file.bit", &error));
    EXPECT_EQ(error, ConfigFileError::CANNOT_OPEN);
    EXPECT_FALSE(config_file_open(nullptr));
}

TEST(ConfigFile, ARawStreamIsAllData) {
    TempFile file(bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66});
    ConfigFileError error = ConfigFileError::BAD_HEADER;
    config_file_ptr f = config_file_open(file.path(), &error);
    ASSERT_TRUE(f);
    EXPECT_EQ(error, ConfigFileError::NONE);
    EXPECT_EQ(f->data_length, 8u);
    EXPECT_EQ(f->part_idcode, 0u);
    std::vector<std::uint8_t> block(4096);
    ASSERT_EQ(config_file_read(*f, block.data(), 4096), 8u);
    EXPECT_EQ(block[0], 0xFF);
    EXPECT_EQ(block[7], 0x66);
}

TEST(ConfigFile, LongValuesKeepTheirFirst64BytesAndNothingSpills) {
    const std::string long_part = "2s200" + std::string(300, 'z');
    TempFile file(file_of({preamble, field('b', long_part), field('a', std::string(64, 'a')),
                           data_field(1, {0xFF})}));
    config_file_ptr f = config_file_open(file.path());
    ASSERT_TRUE(f);
    EXPECT_EQ(std::string(f->part_name.data(), 64), long_part.substr(0, 64));
    EXPECT_EQ(std::string(f->design_name.data(), 64), std::string(64, 'a'));
    EXPECT_EQ(f->part_idcode, 0x0061C093u);
    EXPECT_EQ(f->data_length, 1u);
    std::uint8_t first = 0;
    EXPECT_EQ(config_file_read(*f, &first, 1), 1u);
    EXPECT_EQ(first, 0xFF);
}

TEST(ConfigFile, ShortDataReadsTheRemainderThenNothing) {
    TempFile file(file_of({preamble, data_field(5000, bytes(10, 0xFF))}));
    config_file_ptr f = config_file_open(file.path());
    ASSERT_TRUE(f);
    std::vector<std::uint8_t> block(4096);
    EXPECT_EQ(config_file_read(*f, block.data(), 4096), 10u);
    EXPECT_EQ(config_file_read(*f, block.data(), 4096), 0u);
}

}  // namespace
}  // namespace oscset::jtag
