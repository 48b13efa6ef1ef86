#include "tests/mockdev/testbed.hpp"

#include <cstdio>
#include <fstream>
#include <string>

namespace oscset::mockdev {
namespace {

// A root hub first keeps libusb's view of the topology sane.
constexpr const char* ROOT_HUB =
    "P: /devices/usb1\nN: bus/usb/001/001\n"
    "E: DEVNAME=/dev/bus/usb/001/001\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
    "E: BUSNUM=001\nE: DEVNUM=001\nE: MAJOR=189\nE: MINOR=0\nE: PRODUCT=1d6b/2/600\n"
    "E: TYPE=9/0/1\n"
    "A: busnum=1\\n\nA: devnum=1\\n\nA: speed=480\\n\nA: bConfigurationValue=1\nA: idVendor=1d6b\n"
    "A: idProduct=0002\nA: bcdDevice=0600\nA: dev=189:0\n"
    "H: descriptors=12010002090001406b1d020000060302010109021900010100e000090400000109000000"
    "0705810304000c\n";

class Testbed {
  public:
    Testbed() : bed_(umockdev_testbed_new()) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, ROOT_HUB, &error)) {
            report(error);
        }
    }
    ~Testbed() { g_object_unref(bed_); }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    UMockdevTestbed* get() const { return bed_; }

  private:
    UMockdevTestbed* bed_;
};

}  // namespace

const char* mock_devices_missing() {
#ifdef OSCSET_THREAD_SANITIZER
    // The preload calls libc past the sanitizer's interceptors, hiding its socket's order.
    return "ThreadSanitizer cannot see the order that umockdev's preload keeps";
#else
    // umockdev_in_mock_environment() would cache a "no" given before the testbed exists.
    static const bool preloaded = [] {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            if (line.find("libumockdev-preload") != std::string::npos) {
                return true;
            }
        }
        return false;
    }();
    return preloaded ? nullptr
                     : "needs umockdev's preload (LD_PRELOAD=libumockdev-preload.so.0); "
                       "install umockdev";
#endif
}

UMockdevTestbed* testbed() {
    static Testbed bed;
    return bed.get();
}

DataRef resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    DataRef resolved(umockdev_ioctl_data_resolve(data, offset, length, &error));
    if (error != nullptr) {
        report(error);
    }
    return resolved;
}

void report(GError* error) {
    std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "failed");
    if (error != nullptr) {
        g_error_free(error);
    }
}

}  // namespace oscset::mockdev
