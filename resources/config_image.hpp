#pragma once
// The FPGA configuration image that the program carries: a raw Spartan-II stream, loaded on
// every run. The default is a generated placeholder design (see README).

#include <cstdint>
#include <span>

namespace oscset::resources {

std::span<const std::uint8_t> config_image();

// True when the image is the generated placeholder, no design the build was given.
bool config_image_is_placeholder();

}  // namespace oscset::resources
