#include "cables/parallel/xpar.hpp"

namespace oscset::parallel {
namespace {

// Placeholder until the printer-port driver lands: no cable answers.
class XparCable final : public cable::Cable {
public:
    std::int32_t open(std::uint16_t, std::int32_t, char*) override { return 1; }
    void close() override {}
    std::int32_t probe() override { return 0; }
    std::int32_t shift(const std::uint8_t*, std::uint8_t*, std::uint32_t, std::int32_t,
                       std::int32_t) override {
        return 0;
    }
};

}  // namespace

cable::Cable& xpar_cable() {
    static XparCable cable;
    return cable;
}

}  // namespace oscset::parallel
