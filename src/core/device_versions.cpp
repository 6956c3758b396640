#include "core/device_versions.h"

namespace morla::devices {

const HwVersion Orbi_v1{HwVersion::kel_id, 0x00, 0x00, 0x01};
const HwVersion Orbi_v2{HwVersion::kel_id, 0x00, 0x00, 0x02};
const HwVersion TwoNodesIP_v1{HwVersion::kel_id, 0xA1, 0x03, 0x06};
const HwVersion MRL7700_v1{HwVersion::kel_id, 0xA1, 0x03, 0x09};
const HwVersion FPGA_v2{HwVersion::kel_id, 0xA2, 0x01, 0x00};
const HwVersion Mote_FPGA{HwVersion::kel_id, 0xB1, 0x01, 0x00};

}  // namespace morla::devices
