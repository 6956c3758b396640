#pragma once
// The user's limits for mapping a model on one device, and two hooks that watch the
// mapping layer by layer and choose the NPs a layer gets.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/hw_ident.h"
#include "core/hw_type.h"
#include "core/ip_version.h"

namespace morla {

class Device;

class MapConstraints {
 public:
  // Throws std::invalid_argument for a null device or a device of an unknown IP version.
  explicit MapConstraints(const std::shared_ptr<Device>& device);
  MapConstraints(const MapConstraints&) = default;
  MapConstraints(MapConstraints&&) = default;
  MapConstraints& operator=(const MapConstraints&) = default;
  MapConstraints& operator=(MapConstraints&&) = default;
  virtual ~MapConstraints() = default;

  // Called before a layer is mapped, with that layer's name. Does nothing by default.
  virtual void next_layer_handler(const std::string& layer_name) const;
  // Chooses `count` NPs of `type` among `candidates`. By default the first
  // min(count, candidates) in their order, whatever the type.
  virtual std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, size_t count,
                                            hw::Type type) const;

  uint32_t cnp_max_width() const { return cnp_max_width_; }
  uint32_t cnp_max_height() const { return cnp_max_height_; }
  uint32_t cnp_max_filters() const { return cnp_max_filters_; }
  uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
  uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
  uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }
  bool hwpr_loopitself() const { return hwpr_loopitself_; }
  IpVersion ip_version() const { return ip_version_; }
  std::shared_ptr<Device> device() const { return device_; }

  // Each limit may not exceed its default; a refused value leaves the limit unchanged.
  void set_cnp_max_width(uint32_t value);
  void set_cnp_max_height(uint32_t value);
  void set_cnp_max_filters(uint32_t value);
  // True only on IP v2.
  void set_hwpr_loopitself(bool value);

 private:
  std::shared_ptr<Device> device_;
  uint32_t cnp_max_width_default_ = 0;
  uint32_t cnp_max_height_default_ = 0;
  uint32_t cnp_max_filters_default_ = 0;
  uint32_t cnp_max_width_ = 0;
  uint32_t cnp_max_height_ = 0;
  uint32_t cnp_max_filters_ = 0;
  bool hwpr_loopitself_ = false;
  IpVersion ip_version_ = IpVersion::none;
};

}  // namespace morla
