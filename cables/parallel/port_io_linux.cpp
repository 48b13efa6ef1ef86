// The Linux hardware backend: ppdev where the port's device node exists and may be claimed,
// direct port I/O on x86 otherwise.

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/ppdev_port.hpp"
#if OSCSET_DIRECT_PORT_IO
#include "cables/parallel/direct_port.hpp"
#endif

namespace oscset::parallel {
namespace {

class LinuxPortIo final : public PortIo {
  public:
    bool acquire(std::uint16_t base) override {
        if (ppdev_.acquire(base)) {
            active_ = &ppdev_;
#if OSCSET_DIRECT_PORT_IO
        } else if (direct_.acquire(base)) {
            active_ = &direct_;
#endif
        } else {
            active_ = nullptr;
        }
        return active_ != nullptr;
    }
    void write(std::uint16_t address, std::uint8_t value) override {
        if (active_ != nullptr) {
            active_->write(address, value);
        }
    }
    std::uint8_t read(std::uint16_t address) override {
        return active_ != nullptr ? active_->read(address) : 0xFF;
    }

  private:
    PpdevPort ppdev_;
#if OSCSET_DIRECT_PORT_IO
    DirectPort direct_;
#endif
    PortIo* active_ = nullptr;
};

}  // namespace

bool install_hardware_port_io() {
    static LinuxPortIo port;
    set_port_io(&port);
    return true;
}

}  // namespace oscset::parallel
