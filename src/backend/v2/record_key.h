#pragma once
#include <cstdint>

#include "core/device.h"

namespace morla::v2 {

// The key of every record made for `device`: its HwVersion bytes read as one 32-bit value.
uint32_t record_key(const Device& device);

}  // namespace morla::v2
