#include "tests/usb/fake_usb.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "platform/time.hpp"

namespace oscset::usb::testing {

std::array<std::uint8_t, STRING_ANSWER_SIZE> string_descriptor(std::string_view text) {
    std::array<std::uint8_t, STRING_ANSWER_SIZE> answer{};
    answer[0] = static_cast<std::uint8_t>(2 + 2 * text.size());
    answer[1] = 3;
    for (std::size_t k = 0; k < text.size(); ++k) {
        answer[2 + 2 * k] = static_cast<std::uint8_t>(text[k]);
    }
    return answer;
}

namespace {

// True when the next transfer is to move nothing: it uses up one of `count` (-1: all).
bool moves_nothing(int& count) {
    if (count > 0) {
        --count;
        return true;
    }
    return count < 0;
}

std::string string_call(std::uint8_t index, std::uint16_t language) {
    char text[32];
    std::snprintf(text, sizeof text, "string %u %04x", index, language);
    return text;
}

}  // namespace

// An adapter that runs its firmware: every control call succeeds.
class FakeDevice final : public UsbDevice {
  public:
    explicit FakeDevice(FakeUsb& fake) : fake_(fake) {}
    ~FakeDevice() override {
        std::lock_guard lock(fake_.mutex_);
        --fake_.live_;
    }

    bool vendor_request(std::uint8_t, std::uint16_t, std::uint16_t, std::uint8_t) override {
        return true;
    }
    bool download(std::span<const std::uint8_t>) override { return true; }
    bool get_string(std::uint8_t index, std::uint16_t,
                    std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) override {
        const auto descriptor = string_descriptor(index == 1 ? "USB_SPI" : "V010");
        std::copy(descriptor.begin(), descriptor.end(), answer.begin());
        return index == 1 || index == 2;
    }

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        std::lock_guard lock(fake_.mutex_);
        const int number = static_cast<int>(fake_.offered_.size());
        fake_.offered_.push_back(length);
        if (fake_.fail_writes_from >= 0 && number >= fake_.fail_writes_from) {
            return false;
        }
        if (moves_nothing(fake_.zero_writes)) {
            return true;
        }
        if (fake_.overreport_writes) {
            transferred = length + 1;
            return true;
        }
        const std::uint32_t moved = std::min(length, fake_.write_limit);
        fake_.writes_.push_back({pipe, std::vector<std::uint8_t>(data, data + moved)});
        if ((pipe == 2 || pipe == 3) && !fake_.drop_answers) {
            for (std::uint32_t i = 0; i < moved; ++i) {
                fake_.pending_.push_back(fake_.answer(pipe, data[i]));
            }
            fake_.changed_.notify_all();
        }
        transferred = moved;
        return true;
    }

    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        std::unique_lock lock(fake_.mutex_);
        const int number = static_cast<int>(fake_.reads_.size());
        fake_.reads_.push_back(length);
        const bool result = read_locked(lock, number, pipe, buffer, length, transferred);
        ++fake_.reads_returned_;
        fake_.changed_.notify_all();
        return result;
    }

  private:
    bool read_locked(std::unique_lock<std::mutex>& lock, int number, std::uint32_t pipe,
                     std::uint8_t* buffer, std::uint32_t length, std::uint32_t& transferred) {
        if (pipe != 5 || (fake_.fail_reads_from >= 0 && number >= fake_.fail_reads_from)) {
            return false;
        }
        if (moves_nothing(fake_.zero_reads)) {
            return true;
        }
        if (fake_.hold_reads) {
            // Bounded in real time, so that a failing test cannot hang the suite.
            fake_.changed_.wait_for(lock, std::chrono::seconds(10),
                                    [this] { return fake_.released_; });
        }
        // Like a host-side time-out: bounded by the time seam.
        fake_.changed_.wait_for(lock, platform::wait_limit(6000),
                                [this] { return !fake_.pending_.empty(); });
        if (fake_.pending_.empty()) {
            return false;
        }
        const auto n = static_cast<std::uint32_t>(
            std::min<std::size_t>({length, fake_.read_limit, fake_.pending_.size()}));
        std::copy_n(fake_.pending_.begin(), n, buffer);
        fake_.pending_.erase(fake_.pending_.begin(), fake_.pending_.begin() + n);
        transferred = n;
        return true;
    }

    FakeUsb& fake_;
};

std::unique_ptr<UsbDevice> FakeUsb::open(int) {
    std::lock_guard lock(mutex_);
    ++live_;
    return std::make_unique<FakeDevice>(*this);
}

void FakeUsb::release_reads() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
}

std::vector<Write> FakeUsb::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::vector<std::uint32_t> FakeUsb::offered_writes() const {
    std::lock_guard lock(mutex_);
    return offered_;
}

std::vector<std::uint32_t> FakeUsb::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

std::uint32_t FakeUsb::reads_returned() const {
    std::lock_guard lock(mutex_);
    return reads_returned_;
}

int FakeUsb::live_handles() const {
    std::lock_guard lock(mutex_);
    return live_;
}

void FakeUsb::clear_logs() {
    std::lock_guard lock(mutex_);
    writes_.clear();
    offered_.clear();
    reads_.clear();
    reads_returned_ = 0;
}

// Every call is a step of the script: taken when it is the next one, else the test fails.
class ScriptedDevice final : public UsbDevice {
  public:
    ScriptedDevice(ScriptedUsb& script, std::string location)
        : script_(script), location_(std::move(location)) {}
    ~ScriptedDevice() override {
        script_.take("close");
        std::lock_guard lock(script_.mutex_);
        --script_.live_;
    }

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        char text[64];
        std::snprintf(text, sizeof text, "vendor %02x %04x %u %u", request, value, index, data);
        return succeeds(text);
    }
    bool download(std::span<const std::uint8_t> image) override {
        {
            std::lock_guard lock(script_.mutex_);
            script_.downloaded_.assign(image.begin(), image.end());
        }
        return succeeds("download " + std::to_string(image.size()));
    }
    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) override {
        const std::optional<Step> step = script_.take(string_call(index, language));
        if (!step || !step->ok || !step->answer) {
            return false;
        }
        std::copy(step->answer->begin(), step->answer->end(), answer.begin());
        return true;
    }
    bool bulk_write(std::uint32_t pipe, const std::uint8_t*, std::uint32_t length,
                    std::uint32_t& transferred) override {
        return bulk("write", pipe, length, transferred);
    }
    bool bulk_read(std::uint32_t pipe, std::uint8_t*, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return bulk("read", pipe, length, transferred);
    }

    std::string location() const override { return location_; }

  private:
    bool succeeds(const std::string& call) {
        const std::optional<Step> step = script_.take(call);
        return step && step->ok;
    }
    // No script moves bulk data: a transfer is always a call it did not expect.
    bool bulk(const char* way, std::uint32_t pipe, std::uint32_t length, std::uint32_t& moved) {
        moved = 0;
        return succeeds(std::string("bulk ") + way + " " + std::to_string(pipe) + " " +
                        std::to_string(length));
    }
    ScriptedUsb& script_;
    std::string location_;
};

std::vector<Step> identified(int index) {
    const Step open{"open " + std::to_string(index)};
    return {open, says(string_call(1, 0x001b), "USB_SPI"), says(string_call(2, 0x001b), "V010"),
            open};
}

ScriptedUsb::~ScriptedUsb() {
    for (std::size_t i = next_; i < script_.size(); ++i) {
        ADD_FAILURE() << "expected call never made: " << script_[i].call;
    }
}

std::unique_ptr<UsbDevice> ScriptedUsb::open(int index) {
    return opened("open " + std::to_string(index));
}

std::unique_ptr<UsbDevice> ScriptedUsb::open_at(const std::string& location) {
    return opened("open at " + location);
}

std::unique_ptr<UsbDevice> ScriptedUsb::opened(const std::string& call) {
    const std::optional<Step> step = take(call);
    if (!step || !step->ok) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    ++live_;
    return std::make_unique<ScriptedDevice>(*this, step->location);
}

std::optional<Step> ScriptedUsb::take(const std::string& call) {
    std::lock_guard lock(mutex_);
    if (next_ == script_.size() || script_[next_].call != call) {
        ADD_FAILURE() << "unexpected call " << call << " at step " << next_ << ", expected "
                      << (next_ < script_.size() ? script_[next_].call : "none");
        return std::nullopt;
    }
    return script_[next_++];
}

int ScriptedUsb::live_handles() const {
    std::lock_guard lock(mutex_);
    return live_;
}

std::vector<std::uint8_t> ScriptedUsb::downloaded() const {
    std::lock_guard lock(mutex_);
    return downloaded_;
}

}  // namespace oscset::usb::testing
