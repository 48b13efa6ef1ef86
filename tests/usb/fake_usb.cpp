#include "tests/usb/fake_usb.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/time.hpp"

namespace oscset::usb::testing {

class FakeDevice final : public UsbDevice {
  public:
    explicit FakeDevice(FakeUsb& fake) : fake_(fake) {}
    ~FakeDevice() override {
        std::lock_guard lock(fake_.mutex_);
        --fake_.live_;
        fake_.calls_.push_back("close");
    }

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        std::lock_guard lock(fake_.mutex_);
        char text[64];
        std::snprintf(text, sizeof text, "vendor %02x %04x %u %u", request, value, index, data);
        fake_.calls_.push_back(text);
        if (data == 1) {
            return !fake_.refuse_halt;
        }
        if (fake_.refuse_run) {
            return false;
        }
        fake_.booted_ = true;
        return true;
    }

    bool download(std::span<const std::uint8_t> image) override {
        std::lock_guard lock(fake_.mutex_);
        fake_.calls_.push_back("download " + std::to_string(image.size()));
        fake_.downloaded_.assign(image.begin(), image.end());
        return !fake_.refuse_download;
    }

    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) override {
        std::lock_guard lock(fake_.mutex_);
        char text[32];
        std::snprintf(text, sizeof text, "string %u %04x", index, language);
        fake_.calls_.push_back(text);
        if (fake_.raw_string) {
            std::copy(fake_.raw_string->begin(), fake_.raw_string->end(), answer.begin());
            return true;
        }
        const Strings& strings =
            fake_.booted_ && fake_.strings_after_boot ? *fake_.strings_after_boot : fake_.strings;
        const std::optional<std::string>& value = index == 1   ? strings.manufacturer
                                                  : index == 2 ? strings.product
                                                               : std::nullopt;
        if (!value) {
            return false;
        }
        std::fill(answer.begin(), answer.end(), std::uint8_t{0});
        answer[0] = static_cast<std::uint8_t>(2 + 2 * value->size());
        answer[1] = 3;
        for (std::size_t k = 0; k < value->size(); ++k) {
            answer[2 + 2 * k] = static_cast<std::uint8_t>((*value)[k]);
        }
        return true;
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
        if (fake_.zero_writes != 0) {
            if (fake_.zero_writes > 0) {
                --fake_.zero_writes;
            }
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
        if (fake_.zero_reads != 0) {
            if (fake_.zero_reads > 0) {
                --fake_.zero_reads;
            }
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

std::unique_ptr<UsbDevice> FakeUsb::open(int index) {
    std::lock_guard lock(mutex_);
    const std::size_t number = opens_++;
    const bool found = number < presence.size() ? presence[number] : present;
    calls_.push_back("open " + std::to_string(index) + (found ? "" : " none"));
    if (!found) {
        return nullptr;
    }
    ++live_;
    return std::make_unique<FakeDevice>(*this);
}

void FakeUsb::release_reads() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
}

std::vector<std::string> FakeUsb::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
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

std::vector<std::uint8_t> FakeUsb::downloaded() const {
    std::lock_guard lock(mutex_);
    return downloaded_;
}

int FakeUsb::live_handles() const {
    std::lock_guard lock(mutex_);
    return live_;
}

void FakeUsb::clear_logs() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    writes_.clear();
    offered_.clear();
    reads_.clear();
    reads_returned_ = 0;
}

}  // namespace oscset::usb::testing
