// The Windows hardware backend: the printer port's registers by the processor's in and out
// instructions. On Windows NT they fault unless the port-access driver has opened the ports
// to the process, which giveio_acquire does before the cable asks for access here; the 9x
// family allows them as they are.

#include "cables/parallel/port_io.hpp"
#include "cables/parallel/service_manager.hpp"

namespace oscset::parallel {

ServiceManager& windows_service_manager();

namespace {

class InstructionPort final : public PortIo {
  public:
    bool acquire(std::uint16_t base) override {
        // The three registers must not wrap past the top of the I/O space.
        if (base > 0xFFFD) {
            return false;
        }
        base_ = base;
        granted_ = true;
        return true;
    }

    void write(std::uint16_t address, std::uint8_t value) override {
        if (granted_ && address >= base_ && address <= base_ + 2) {
            __asm__ __volatile__("outb %0, %1" : : "a"(value), "Nd"(address));
        }
    }

    std::uint8_t read(std::uint16_t address) override {
        if (!granted_ || address < base_ || address > base_ + 2) {
            return 0xFF;
        }
        std::uint8_t value;
        __asm__ __volatile__("inb %1, %0" : "=a"(value) : "Nd"(address));
        return value;
    }

  private:
    std::uint16_t base_ = 0;
    bool granted_ = false;
};

}  // namespace

bool install_hardware_port_io() {
    static InstructionPort port;
    set_service_manager(&windows_service_manager());
    set_port_io(&port);
    return true;
}

}  // namespace oscset::parallel
