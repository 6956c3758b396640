#pragma once
// The name of a board's SoC as the USB and J-Link drivers read it from the board.
#include <cstdint>
#include <string>

#include "drivers/hardware_driver.h"

namespace morla {

// The SoC revision: low 4 bits of the word at 0xF0000010, read through the driver.
uint32_t read_soc_version(HardwareDriver& driver);
// "Orbi_v" + the SoC revision in decimal.
std::string make_soc_name(HardwareDriver& driver);

}  // namespace morla
