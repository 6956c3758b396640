#pragma once
// Hardware versions of the known devices.
#include "core/hw_version.h"

namespace morla::devices {

extern const HwVersion Orbi_v1;
extern const HwVersion Orbi_v2;
extern const HwVersion TwoNodesIP_v1;
extern const HwVersion MRL7700_v1;
extern const HwVersion FPGA_v2;
extern const HwVersion Mote_FPGA;

}  // namespace morla::devices
