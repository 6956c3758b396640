#pragma once
#include <cstdint>

namespace morla {

// The generation of the Morla IP.
enum class IpVersion : int32_t { none = 0, v1 = 1, v2 = 2, mote = 3 };

// "v1", "v2", "mote", or "none" for any other value.
const char* ip_version_name(IpVersion version);

}  // namespace morla
