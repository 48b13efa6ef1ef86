#pragma once
// The parallel cable on the printer port ("spc_xpar").

#include "cables/cable_ops.hpp"

namespace oscset::parallel {

cable::Cable& xpar_cable();

}  // namespace oscset::parallel
