#pragma once
// The USB adapter as a cable ("spc_usb2").

#include "cables/cable_ops.hpp"

namespace oscset::usb {

cable::Cable& usb_cable();

}  // namespace oscset::usb
