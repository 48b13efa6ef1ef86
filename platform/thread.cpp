#include <atomic>
#include <system_error>

#include "platform/console.hpp"
#include "platform/thread.hpp"

namespace oscset::platform {
namespace {

std::atomic<bool> refusing{false};

}  // namespace

bool start_thread(std::thread& thread, void (*body)()) {
    try {
        if (refusing.load()) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        thread = std::thread(body);
    } catch (const std::system_error& refused) {
        console_printf("Can't start a thread: %s\n", refused.code().message().c_str());
        return false;
    }
    return true;
}

RefusedThreads::RefusedThreads() {
    refusing.store(true);
}

RefusedThreads::~RefusedThreads() {
    refusing.store(false);
}

}  // namespace oscset::platform
