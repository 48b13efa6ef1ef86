#pragma once
// The board through the cable, configuration and bridge layers: the cable the user names, and
// the board's design from the first place that has one.

#include <string>

#include "frontend/driver.hpp"

namespace oscset::frontend {

// Names a design file to load in place of the system-wide one and the embedded image.
inline constexpr const char* CONFIG_IMAGE_VARIABLE = "OSCSET_CONFIG_IMAGE";
// Names the cable: usb (the default), usb:N, parallel, parallel:0x378 or auto.
inline constexpr const char* CABLE_VARIABLE = "OSCSET_CABLE";

struct DesignPlaces {
    // The administrator's design for every user; none when empty.
    std::string system_file = OSCSET_SYSTEM_DESIGN;
    // Whether a placeholder image may be loaded when no design is given. A real board loses
    // the design it runs to it; the simulated board needs no real one.
    bool accept_placeholder = false;
};

class HardwareClockBoard final : public ClockBoard {
  public:
    explicit HardwareClockBoard(DesignPlaces places = {}) : places_(std::move(places)) {}

    // The cable OSCSET_CABLE names, else the first USB adapter, with no fallback.
    status_t open() override;
    // The first of: the file OSCSET_CONFIG_IMAGE names, the system-wide file, the embedded
    // image when it is a real design (or a placeholder may be loaded).
    status_t configure() override;
    bool program(const divider_plan& plan) override;
    // Leaves the TAP in Run-Test/Idle with no USER register selected, then closes the cable.
    void close() override;

  private:
    DesignPlaces places_;
};

}  // namespace oscset::frontend
