#include "mapping/map_constraints.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/device.h"
#include "core/device_versions.h"

namespace morla {
namespace {

struct CnpLimits {
  uint32_t width, height, filters;
};

CnpLimits default_limits(IpVersion ip, const HwVersion& version) {
  switch (ip) {
    case IpVersion::v1: return {32, 256, version == devices::Orbi_v2 ? 504u : 512u};
    case IpVersion::v2: return {64, 256, 512};
    case IpVersion::mote: return {0, 0, 0};
    default: break;
  }
  throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
}

void set_limit(uint32_t& limit, uint32_t default_value, uint32_t value, const char* what) {
  if (value > default_value)
    throw std::invalid_argument(std::string("CNP max ") + what +
                                " should be <= " + std::to_string(default_value) + ". Receives " +
                                std::to_string(value) + ".");
  limit = value;
}

}  // namespace

MapConstraints::MapConstraints(const std::shared_ptr<Device>& device) : device_(device) {
  if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
  const HwVersion version = device_->version();
  ip_version_ = version.get_ip_version();
  const CnpLimits limits = default_limits(ip_version_, version);
  cnp_max_width_default_ = cnp_max_width_ = limits.width;
  cnp_max_height_default_ = cnp_max_height_ = limits.height;
  cnp_max_filters_default_ = cnp_max_filters_ = limits.filters;
}

void MapConstraints::next_layer_handler(const std::string&) const {}

std::vector<hw::Ident> MapConstraints::select_nps(const std::vector<hw::Ident>& candidates,
                                                  size_t count, hw::Type) const {
  const size_t n = std::min(count, candidates.size());
  return std::vector<hw::Ident>(candidates.begin(), candidates.begin() + n);
}

void MapConstraints::set_cnp_max_width(uint32_t value) {
  set_limit(cnp_max_width_, cnp_max_width_default_, value, "width");
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
  set_limit(cnp_max_height_, cnp_max_height_default_, value, "height");
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
  set_limit(cnp_max_filters_, cnp_max_filters_default_, value, "filters");
}

void MapConstraints::set_hwpr_loopitself(bool value) {
  if (value && ip_version_ != IpVersion::v2)
    throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
  hwpr_loopitself_ = value;
}

}  // namespace morla
