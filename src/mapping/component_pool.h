#pragma once
// The device's components while a model is mapped, handed out layer by layer under the
// user's MapConstraints; a new pass frees them all again.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/hw_ident.h"
#include "core/hw_type.h"
#include "contract/compatibility_checker.h"
#include "contract/component.h"
#include "contract/graph_utils.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla {

class MapConstraints;

struct PoolEntry {
  hw::Ident ident;
  bool excluded = false;  // the current layer may not use it
  bool taken = false;     // already used in the current pass
};

struct LayerResult {
  MappingStatus status;
  std::vector<hw::Component> components;
};

class ComponentPool {
 public:
  ComponentPool(const CompatibilityChecker& checker, const MapConstraints& constraints);

  // Fills the lists from the constraints' device mesh: NPs with plain roles first, then
  // those sharing a node with an FNP3, FNP3 NPs, FNP2-capable NPs; skip-DMA channels.
  void init();
  void set_excluded(const std::vector<hw::Ident>& idents);
  // With a type other than None only that type's list; with None every list.
  void mark_taken(const hw::Ident& ident, hw::Type type);
  void reset_taken();
  size_t count_not_excluded(hw::Type type);
  std::vector<hw::Ident> available_idents(hw::Type type);
  hw::Type choose_fnp_type(const LayerPtr& layer);

  // Maps one layer: splits it, then takes components for it (starting a new pass when the
  // current one is full and `new_pass_allowed`; `new_pass` is set then).
  LayerResult map_layer(const LayerPtr& layer, const std::vector<hw::Ident>& excluded,
                        bool loop_itself, bool& new_pass, bool new_pass_allowed);
  MappingStatus check_next_buffer_temp_conv(const LayerPtr& layer, bool& new_pass,
                                            bool new_pass_allowed);

  const std::map<hw::Type, std::vector<PoolEntry>>& entries() const { return entries_; }

 private:
  std::map<hw::Type, std::vector<PoolEntry>> entries_;
  // The back end's limit words for the device (the FNP3 choice reads them).
  HardwareDescription description_;
  const CompatibilityChecker& checker_;
  const MapConstraints& constraints_;
};

// CNP1 or TNP_B by the layer's target, then SKIP_DMA_STORE and SKIP_DMA_LOAD as needed.
std::vector<hw::Type> component_types(const LayerPtr& layer);
MappingStatus not_enough_components(const LayerPtr& layer, const std::string& type_name,
                                    size_t needed, size_t available);

}  // namespace morla
