#include "frontend/driver.hpp"

namespace oscset::frontend {
namespace {

// The layers below the driver are not wired in yet: no cable can be opened.
class HardwareBoard final : public Board {
  public:
    status_t open() override { return STATUS_NO_CABLE; }
    status_t configure() override { return STATUS_NO_CABLE; }
    bool program(const divider_plan&) override { return false; }
    void close() override {}
};

}  // namespace

Board& hardware_board() {
    static HardwareBoard board;
    return board;
}

}  // namespace oscset::frontend
