// ppdev as the kernel serves it, on /dev/parport0, with the simulated printer port behind.

#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "sim/parallel/sim_printer_port.hpp"
#include "tests/mockdev/testbed.hpp"

namespace oscset::mockdev {
namespace {

constexpr const char* NODE = "/dev/parport0";
constexpr const char* RECORD =
    "P: /devices/platform/parport_pc.888/ppdev/parport0\nN: parport0\n"
    "E: DEVNAME=/dev/parport0\nE: SUBSYSTEM=ppdev\nE: MAJOR=99\nE: MINOR=0\nA: dev=99:0\n";
constexpr std::uint8_t LINES_FLOATING = 0xFF;

std::atomic<int> sysctl_dirs{0};

}  // namespace

class ParportNode::Handler {
  public:
    explicit Handler(sim::SimPrinterPort& port) : port_(port), handler_(umockdev_ioctl_base_new()) {
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
        // The device stays in the testbed for the process (umockdev cannot add a node twice);
        // each port attaches its handler to it while it lives.
        static bool added = false;
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed(), NODE, handler_, &error) ||
            (!added && !umockdev_testbed_add_from_string(testbed(), RECORD, &error))) {
            report(error);
        }
        added = true;
    }
    ~Handler() {
        umockdev_testbed_detach_ioctl(testbed(), NODE, nullptr);
        g_object_unref(handler_);
    }
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    bool claimed() const {
        std::lock_guard lock(mutex_);
        return claimed_;
    }
    void refuse_claim(int error) {
        std::lock_guard lock(mutex_);
        refusal_ = error;
    }

  private:
    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        const int error = static_cast<Handler*>(self)->ioctl(
            umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
        return TRUE;
    }

    // The errno of the call, 0 on success.
    int ioctl(unsigned long request, UMockdevIoctlData* arg) {
        std::lock_guard lock(mutex_);
        const std::uint16_t base = port_.base();
        switch (request) {
            case PPCLAIM:
                if (claimed_) {
                    return EINVAL;
                }
                if (refusal_ != 0) {
                    return refusal_;
                }
                if (!port_.acquire(base)) {
                    return ENXIO;
                }
                claimed_ = true;
                return 0;
            case PPEXCL:
                return claimed_ ? EINVAL : 0;
            case PPRELEASE:
                if (!claimed_) {
                    return EINVAL;
                }
                claimed_ = false;
                return 0;
            default:
                break;
        }
        if (!claimed_) {
            return EINVAL;  // every register access needs the claim
        }
        switch (request) {
            case PPWDATA:
                data_ = byte_in(arg);
                if (!reverse_) {
                    port_.write(base, data_);
                }
                return 0;
            case PPWCONTROL:
                port_.write(static_cast<std::uint16_t>(base + 2), byte_in(arg));
                return 0;
            case PPRDATA:
                return byte_out(arg, reverse_ ? LINES_FLOATING : port_.read(base));
            case PPRSTATUS:
                return byte_out(arg, port_.read(static_cast<std::uint16_t>(base + 1)));
            case PPRCONTROL:
                return byte_out(arg, port_.read(static_cast<std::uint16_t>(base + 2)));
            case PPDATADIR: {
                const DataRef data = resolve(arg, 0, sizeof(int));
                int reverse = 0;
                std::memcpy(&reverse, data->data, sizeof reverse);
                reverse_ = reverse != 0;
                if (!reverse_) {
                    port_.write(base, data_);  // the latch drives the lines again
                }
                return 0;
            }
            default:
                return ENOTTY;
        }
    }

    static std::uint8_t byte_in(UMockdevIoctlData* arg) {
        const DataRef data = resolve(arg, 0, 1);
        return data->data[0];
    }
    static int byte_out(UMockdevIoctlData* arg, std::uint8_t value) {
        const DataRef data = resolve(arg, 0, 1);
        umockdev_ioctl_data_update(data.get(), 0, &value, 1);
        return 0;
    }

    sim::SimPrinterPort& port_;
    UMockdevIoctlBase* handler_;
    mutable std::mutex mutex_;
    bool claimed_ = false;
    int refusal_ = 0;
    // Left in input mode by an earlier user: the data lines float until set to output.
    bool reverse_ = true;
    std::uint8_t data_ = 0;
};

ParportNode::ParportNode(sim::SimPrinterPort& port)
    : handler_(std::make_unique<Handler>(port)),
      sysctl_dir_(
          (std::filesystem::temp_directory_path() /
           ("oscset-parport-" + std::to_string(::getpid()) + "-" + std::to_string(sysctl_dirs++)))
              .string()) {
    const std::filesystem::path folder = std::filesystem::path(sysctl_dir_) / "parport0";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "base-addr") << port.base() << "\t1912\n";
}

ParportNode::~ParportNode() {
    std::error_code ignored;
    std::filesystem::remove_all(sysctl_dir_, ignored);
}

bool ParportNode::claimed() const {
    return handler_->claimed();
}

void ParportNode::refuse_claim(int error) {
    handler_->refuse_claim(error);
}

}  // namespace oscset::mockdev
