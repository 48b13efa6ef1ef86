// usbfs as the kernel serves it, on umockdev's device nodes.
//
// Every ioctl arrives on umockdev's handler thread, which must never wait for a device: a
// submitted URB goes to its endpoint's worker thread and the submit returns at once. The
// worker runs the transfer on its own copy of the bytes; the reap copies them into umockdev's
// image of the client's URB and buffer, on the handler thread, where umockdev writes them
// back.

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "sim/mcs51/emulated_adapter.hpp"
#include "tests/mockdev/testbed.hpp"

namespace oscset::mockdev {
namespace {

constexpr std::uint32_t CAPABILITIES = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr std::size_t SETUP_SIZE = 8;
constexpr std::size_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr std::uint8_t ENDPOINT_IN = 0x80;
constexpr int USB_MAJOR = 189;
constexpr int PIPE_ONE_PAGE = 4096;

// Addresses in turn, wrapping after 127 as a kernel's do (1 is the root hub's): a number
// comes back only long after its device is gone, for libusb knows a device by its number.
constexpr int FIRST_DEVICE_NUMBER = 2;
constexpr int LAST_DEVICE_NUMBER = 127;
int next_device_number = FIRST_DEVICE_NUMBER;

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char digits[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

std::uint16_t word(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

std::string device_record(const std::string& syspath, int number, std::span<const std::uint8_t> d) {
    char text[1024];
    const int minor = number - 1;  // bus 1
    std::snprintf(text, sizeof text,
                  "P: %s\nN: bus/usb/001/%03d\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                  "E: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=%03d\nE: MAJOR=%d\nE: MINOR=%d\n"
                  "E: PRODUCT=%x/%x/%x\nE: TYPE=%d/%d/%d\n"
                  "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=12\\n\nA: bConfigurationValue=%d\\n\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\nA: dev=%d:%d\n"
                  "H: descriptors=%s\n",
                  syspath.c_str() + 4, number, number, number, USB_MAJOR, minor, word(d, 8),
                  word(d, 10), word(d, 12), d[4], d[5], d[6], number,
                  d.size() > DEVICE_DESCRIPTOR_SIZE + 5 ? d[DEVICE_DESCRIPTOR_SIZE + 5] : 0,
                  word(d, 8), word(d, 10), word(d, 12), USB_MAJOR, minor, hex(d).c_str());
    return text;
}

struct Urb {
    unsigned long client = 0;  // the URB's address in the client: its identity
    DataRef urb;               // umockdev's images of the client's URB and buffer
    DataRef buffer;
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::vector<std::uint8_t> bytes;  // ours: the setup packet and data, or the bulk data
    int status = 0;
    int actual = 0;
    bool running = false;
};

}  // namespace

// One connection of a device: its node, the handler answering usbfs on it, and the workers.
class UsbBus::Device {
  public:
    Device(std::unique_ptr<UsbFunction> function, int port)
        : function_(std::move(function)), syspath_("/sys/devices/usb1/1-" + std::to_string(port)) {}
    ~Device() {
        unplug();
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        for (auto& [endpoint, thread] : workers_) {
            thread.join();
        }
        if (poll_fd_ >= 0) {
            ::close(poll_fd_);
        }
        for (auto& [path, handler] : handlers_) {
            umockdev_testbed_detach_ioctl(testbed(), path.c_str(), nullptr);
            g_object_unref(handler);
        }
    }

    // The hub's look at the port.
    void follow(std::uint32_t ms) {
        function_->pass_time(ms);
        const std::uint32_t now = function_->connection();
        std::lock_guard hub(hub_mutex_);
        if (!node_.empty() && now != plugged_connection_) {
            unplug();
        }
        if (node_.empty() && now != 0) {
            plug(now);
        }
    }

    UsbNodeCounts counts() const {
        std::lock_guard lock(mutex_);
        UsbNodeCounts counts = counts_;
        counts.claimed = claimed_;
        return counts;
    }
    std::string node() const {
        std::lock_guard hub(hub_mutex_);
        return node_;
    }

  private:
    // Called with hub_mutex_ held.
    void plug(std::uint32_t connection) {
        const std::vector<std::uint8_t> descriptors = function_->descriptors();
        if (descriptors.size() < DEVICE_DESCRIPTOR_SIZE) {
            return;
        }
        const int number = next_device_number;
        next_device_number = number == LAST_DEVICE_NUMBER ? FIRST_DEVICE_NUMBER : number + 1;
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", number);
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
        {
            std::lock_guard lock(mutex_);
            pipes_ = sim::pipes_of(std::span(descriptors).subspan(DEVICE_DESCRIPTOR_SIZE));
            gone_ = false;
            claimed_ = false;
            ++counts_.plugs;
        }
        // Attached first, so that an open right after the "add" uevent finds it.
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed(), path, handler, &error) ||
            !umockdev_testbed_add_from_string(
                testbed(), device_record(syspath_, number, descriptors).c_str(), &error)) {
            report(error);
            g_object_unref(handler);
            return;
        }
        handlers_.emplace_back(path, handler);
        node_ = path;
        plugged_connection_ = connection;
        make_pollable(path);
    }

    // The kernel's node polls writable while a URB waits to be reaped; umockdev's node is a
    // plain file, always ready, so a waiting libusb would reap in a loop, and umockdev holds
    // the file's one ioctl lock for each reap: a second thread's submit then waits behind a
    // loop that never lets go. A pipe of one page in the node's place polls as the kernel's
    // node does: full (not writable) while nothing is reapable.
    void make_pollable(const std::string& path) {
        gchar* root = umockdev_testbed_get_root_dir(testbed());
        const std::string file = std::string(root) + path;
        g_free(root);
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0 || ::unlink(file.c_str()) != 0 ||
            ::mkfifo(file.c_str(), info.st_mode & 07777) != 0 ||
            ::chmod(file.c_str(), info.st_mode & 07777) != 0) {
            return;
        }
        const int fd = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        ::fcntl(fd, F_SETPIPE_SZ, PIPE_ONE_PAGE);
        std::lock_guard lock(mutex_);
        if (poll_fd_ >= 0) {
            ::close(poll_fd_);
        }
        poll_fd_ = fd;
        signal_reapable();
    }

    // Called with mutex_ held.
    void signal_reapable() {
        if (poll_fd_ < 0) {
            return;
        }
        char byte = 0;
        if (!done_.empty() || gone_) {
            std::array<char, PIPE_ONE_PAGE> drain{};
            while (::read(poll_fd_, drain.data(), drain.size()) > 0) {
            }
        } else if (::write(poll_fd_, &byte, 1) < 0) {
            // already full: not writable, as it should be
        }
    }

    void unplug() {
        if (node_.empty()) {
            return;
        }
        leave_bus();
        umockdev_testbed_uevent(testbed(), syspath_.c_str(), "remove");
        umockdev_testbed_remove_device(testbed(), syspath_.c_str());
        node_.clear();
    }

    // In-flight URBs end with -ESHUTDOWN; every later call fails with ENODEV.
    void leave_bus() {
        std::lock_guard lock(mutex_);
        if (gone_) {
            return;
        }
        gone_ = true;
        for (auto& [endpoint, queue] : queues_) {
            for (auto& urb : queue) {
                finish(urb, -ESHUTDOWN, 0);
            }
            queue.clear();
        }
        for (auto& urb : running_) {
            finish(urb, -ESHUTDOWN, 0);
        }
        running_.clear();
        signal_reapable();
    }

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Device*>(self)->ioctl(client);
        return TRUE;
    }
    void ioctl(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const bool gone = [&] {
            std::lock_guard lock(mutex_);
            return gone_;
        }();
        if (gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                const DataRef data = resolve(arg, 0, sizeof(std::uint32_t));
                std::uint32_t caps = CAPABILITIES;
                umockdev_ioctl_data_update(data.get(), 0, reinterpret_cast<guint8*>(&caps),
                                           sizeof caps);
                return answer(client, 0);
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM: {
                // The interface number is the first field of each argument.
                const DataRef data = resolve(arg, 0, sizeof(unsigned int));
                unsigned int interface = 0;
                std::memcpy(&interface, data->data, sizeof interface);
                return answer(client, claim(interface, request != USBDEVFS_RELEASEINTERFACE));
            }
            case USBDEVFS_IOCTL:  // reconnecting the kernel driver: there is none to bind
                return answer(client, 0);
            case USBDEVFS_GETDRIVER:
                return answer(client, ENODATA);
            case USBDEVFS_SUBMITURB:
                return answer(client, submit(arg));
            case USBDEVFS_DISCARDURB:
                return answer(client, discard(*reinterpret_cast<unsigned long*>(arg->data)));
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                return reap(client, arg);
            default:
                return answer(client, ENOTTY);
        }
    }

    static void answer(UMockdevIoctlClient* client, int error) {
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    }

    int claim(unsigned int interface, bool take) {
        if (interface != 0) {
            return ENOENT;  // the configuration has one interface
        }
        std::lock_guard lock(mutex_);
        if (!take && !claimed_) {
            return EINVAL;
        }
        claimed_ = take;
        return 0;
    }

    int submit(UMockdevIoctlData* arg) {
        DataRef data = resolve(arg, 0, sizeof(usbdevfs_urb));
        usbdevfs_urb header{};
        std::memcpy(&header, data->data, sizeof header);
        if (header.buffer_length < 0 || header.buffer == nullptr ||
            (header.type == USBDEVFS_URB_TYPE_CONTROL &&
             header.buffer_length < static_cast<int>(SETUP_SIZE))) {
            return EINVAL;
        }
        auto urb = std::make_shared<Urb>();
        urb->client = data->client_addr;
        urb->type = header.type;
        urb->endpoint = header.endpoint;
        urb->buffer = resolve(data.get(), offsetof(usbdevfs_urb, buffer),
                              static_cast<std::size_t>(header.buffer_length));
        urb->urb = std::move(data);
        const std::uint8_t* bytes = urb->buffer->data;
        urb->bytes.assign(bytes, bytes + header.buffer_length);

        std::lock_guard lock(mutex_);
        if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
            if ((header.endpoint & 0x7F) != 0) {
                return ENOENT;
            }
        } else if (header.type == USBDEVFS_URB_TYPE_BULK ||
                   header.type == USBDEVFS_URB_TYPE_INTERRUPT) {
            if (std::find(pipes_.begin(), pipes_.end(), header.endpoint) == pipes_.end()) {
                return ENOENT;
            }
            claimed_ = true;  // usbfs claims the interface on its first transfer
        } else {
            return EINVAL;  // no isochronous endpoints
        }
        ++counts_.submits;
        const std::uint8_t queue_key =
            header.type == USBDEVFS_URB_TYPE_CONTROL ? 0 : header.endpoint;
        queues_[queue_key].push_back(std::move(urb));
        if (workers_.find(queue_key) == workers_.end()) {
            workers_.emplace(queue_key, std::thread([this, queue_key] { work(queue_key); }));
        }
        work_.notify_all();
        return 0;
    }

    // A URB still queued or running is taken back and reaped as cancelled; one that has
    // completed (reaped or not) is no longer in flight.
    int discard(unsigned long client) {
        std::lock_guard lock(mutex_);
        auto take = [&](std::deque<std::shared_ptr<Urb>>& list) {
            const auto it = std::find_if(list.begin(), list.end(),
                                         [&](const auto& u) { return u->client == client; });
            if (it == list.end()) {
                return false;
            }
            finish(*it, -ENOENT, 0);
            list.erase(it);
            return true;
        };
        for (auto& [endpoint, queue] : queues_) {
            if (take(queue)) {
                ++counts_.discards;
                return 0;
            }
        }
        if (take(running_)) {
            ++counts_.discards;
            return 0;
        }
        ++counts_.failed_discards;
        return EINVAL;
    }

    // Called with mutex_ held.
    void finish(const std::shared_ptr<Urb>& urb, int status, int actual) {
        urb->running = false;
        urb->status = status;
        urb->actual = actual;
        done_.push_back(urb);
        signal_reapable();
    }

    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        std::shared_ptr<Urb> urb;
        {
            std::lock_guard lock(mutex_);
            if (done_.empty()) {
                return answer(client, gone_ ? ENODEV : EAGAIN);
            }
            urb = std::move(done_.front());
            done_.pop_front();
            signal_reapable();
        }
        const std::size_t data_at = urb->type == USBDEVFS_URB_TYPE_CONTROL ? SETUP_SIZE : 0;
        const bool in = (urb->endpoint & ENDPOINT_IN) != 0 ||
                        (urb->type == USBDEVFS_URB_TYPE_CONTROL && (urb->bytes[0] & ENDPOINT_IN));
        if (in && urb->actual > 0) {
            umockdev_ioctl_data_update(urb->buffer.get(), data_at, urb->bytes.data() + data_at,
                                       urb->actual);
        }
        umockdev_ioctl_data_update(urb->urb.get(), offsetof(usbdevfs_urb, status),
                                   reinterpret_cast<guint8*>(&urb->status), sizeof urb->status);
        umockdev_ioctl_data_update(urb->urb.get(), offsetof(usbdevfs_urb, actual_length),
                                   reinterpret_cast<guint8*>(&urb->actual), sizeof urb->actual);
        const DataRef where = resolve(arg, 0, sizeof(void*));
        umockdev_ioctl_data_set_ptr(where.get(), 0, urb->urb.get());
        answer(client, 0);
    }

    void work(std::uint8_t key) {
        std::unique_lock lock(mutex_);
        std::deque<std::shared_ptr<Urb>>& queue = queues_[key];
        for (;;) {
            work_.wait(lock, [&] { return stopping_ || !queue.empty(); });
            if (stopping_) {
                return;
            }
            std::shared_ptr<Urb> urb = std::move(queue.front());
            queue.pop_front();
            std::vector<std::uint8_t>& held = held_[key];
            if (!held.empty() && key != 0) {
                // What a cancelled read took comes first, as the packet would have.
                const std::size_t n = std::min(held.size(), urb->bytes.size());
                std::copy_n(held.begin(), n, urb->bytes.begin());
                held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(n));
                finish(urb, 0, static_cast<int>(n));
                continue;
            }
            urb->running = true;
            running_.push_back(urb);
            std::vector<std::uint8_t> bytes = urb->bytes;
            const std::uint8_t type = urb->type;
            const std::uint8_t endpoint = urb->endpoint;
            lock.unlock();
            int result = transfer(type, endpoint, bytes);
            while (result == -EAGAIN && in_flight(urb)) {
                std::this_thread::yield();
                result = transfer(type, endpoint, bytes);
            }
            const bool left = function_->connection() != plugged_connection_;
            lock.lock();
            const auto it = std::find(running_.begin(), running_.end(), urb);
            if (it != running_.end()) {  // not cancelled meanwhile
                running_.erase(it);
                urb->bytes = std::move(bytes);
                finish(urb, result == -EAGAIN ? -ESHUTDOWN : std::min(result, 0),
                       std::max(result, 0));
            } else if (result > 0 && (endpoint & ENDPOINT_IN) != 0) {
                // A device call cannot be taken back the way a kernel unlinks a URB: bytes
                // that came after the cancel belong to the endpoint's next read.
                held_[key].insert(held_[key].end(), bytes.begin(), bytes.begin() + result);
            }
            if (left) {
                lock.unlock();
                leave_bus();
                lock.lock();
            }
        }
    }

    bool in_flight(const std::shared_ptr<Urb>& urb) {
        std::lock_guard lock(mutex_);
        return !stopping_ && std::find(running_.begin(), running_.end(), urb) != running_.end();
    }

    // Runs one transfer on the device: the bytes moved or -errno.
    int transfer(std::uint8_t type, std::uint8_t endpoint, std::vector<std::uint8_t>& bytes) {
        if (type == USBDEVFS_URB_TYPE_CONTROL) {
            const std::span<std::uint8_t> all(bytes);
            const std::size_t length = std::min<std::size_t>(word(all, 6), all.size() - SETUP_SIZE);
            return function_->control(all.first<SETUP_SIZE>(), all.subspan(SETUP_SIZE, length));
        }
        std::uint32_t pipe = 0;
        {
            std::lock_guard lock(mutex_);
            pipe = static_cast<std::uint32_t>(std::find(pipes_.begin(), pipes_.end(), endpoint) -
                                              pipes_.begin());
        }
        return function_->bulk(pipe, (endpoint & ENDPOINT_IN) != 0, bytes, false);
    }

    std::unique_ptr<UsbFunction> function_;
    const std::string syspath_;
    mutable std::mutex hub_mutex_;  // plugging and unplugging
    std::string node_;
    std::uint32_t plugged_connection_ = 0;
    std::vector<std::pair<std::string, UMockdevIoctlBase*>> handlers_;  // every node it had

    mutable std::mutex mutex_;
    std::condition_variable work_;
    int poll_fd_ = -1;  // our end of the node's pipe
    bool stopping_ = false;
    bool gone_ = false;
    bool claimed_ = false;
    std::vector<std::uint8_t> pipes_;
    std::map<std::uint8_t, std::deque<std::shared_ptr<Urb>>> queues_;  // by endpoint, 0: control
    std::map<std::uint8_t, std::thread> workers_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> held_;  // by IN endpoint
    std::deque<std::shared_ptr<Urb>> running_;
    std::deque<std::shared_ptr<Urb>> done_;
    UsbNodeCounts counts_;
};

UsbBus::UsbBus(platform::SimulatedTime* time) : time_(time) {
    testbed();  // before libusb starts: its monitor binds into the testbed
    if (time_ != nullptr) {
        time_->on_sleep([this](std::uint32_t ms) { tick(ms); });
    }
}

UsbBus::~UsbBus() {
    if (time_ != nullptr) {
        time_->on_sleep(nullptr);
    }
    devices_.clear();
}

void UsbBus::plug(std::unique_ptr<UsbFunction> function) {
    devices_.push_back(
        std::make_unique<Device>(std::move(function), static_cast<int>(devices_.size()) + 1));
    devices_.back()->follow(0);
}

void UsbBus::tick(std::uint32_t ms) {
    for (auto& device : devices_) {
        device->follow(ms);
    }
}

UsbNodeCounts UsbBus::counts(std::size_t device) const {
    return devices_.at(device)->counts();
}

std::string UsbBus::node(std::size_t device) const {
    return devices_.at(device)->node();
}

}  // namespace oscset::mockdev
