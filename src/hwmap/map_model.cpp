#include "hwmap/map_model.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/device.h"
#include "core/ip_version.h"
#include "mapping/map_constraints.h"
#include "core/mesh.h"
#include "hwmap/hardware_backend.h"
#include "hwmap/hardware_sequence.h"
#include "hwmap/sequence_program.h"
#include "mapping/component_pool.h"
#include "mapping/pass_mapping.h"
#include "program/hardware_pass.h"

namespace morla {
namespace {

constexpr size_t kMaxGroups = 255;
constexpr uint8_t kLastIdentifier = 3;

struct Group {
  LayerList layers;
  std::vector<ComponentList> components;
};

void add_failure(MappingStatusGroup& group, const MappingStatus& status) {
  if (std::find(group.statuses.begin(), group.statuses.end(), status) == group.statuses.end())
    group.statuses.push_back(status);
  group.kind = 1;
}

bool targets(const LayerPtr& layer, ComponentKind kind) { return layer->is_target_component(kind); }

// The NPs of the last layer mapped before, which a layer opening a new pass may not reuse
// (skip DMAs may be).
std::vector<hw::Ident> previous_layer_nps(const std::vector<Group>& groups) {
  std::vector<hw::Ident> idents;
  if (groups.empty()) return idents;
  const auto& components = groups.back().components;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (it->empty()) continue;
    for (const auto& component : *it)
      if (component.type != hw::Type::SKIP_DMA_STORE && component.type != hw::Type::SKIP_DMA_LOAD)
        idents.push_back(component.ident);
    break;
  }
  return idents;
}

// "at column C, row R has identifier N", the middle of an identifier refusal.
std::string place_of(const hw::Ident& ident) {
  return "at column " + std::to_string(ident.col) + ", row " + std::to_string(ident.row) +
         " has identifier " + std::to_string(ident.id);
}

void check_dma_identifier(const hw::Ident& ident, const char* role) {
  if (ident.id > kLastIdentifier)
    throw std::invalid_argument(std::string("The DMA ") + role + " " + place_of(ident) +
                                ": the IP addresses identifiers 0 to 3 only.");
}

// The v1 and v2 registers select an NP, and a DMA they send to, by a one-hot mask of its
// identifier, four bits wide. The v1 FNP2 programs name the configuration DMA; no v2 register
// holds it.
void check_identifiers(const Device& device) {
  const IpVersion ip = device.version().get_ip_version();
  if (ip != IpVersion::v1 && ip != IpVersion::v2) return;
  const Mesh& mesh = device.mesh();
  for (const auto* list : {&mesh.nps, &mesh.skip_dmas})
    for (const np::Info& np : *list)
      if (np.ident.id > kLastIdentifier)
        throw std::invalid_argument("The NP " + place_of(np.ident) +
                                    ": the IP addresses NP identifiers 0 to 3 only.");
  check_dma_identifier(mesh.dma_event, "dma_event");
  if (ip == IpVersion::v1) check_dma_identifier(mesh.dma_conf, "dma_conf");
}

void fill_memory_infos(const MemorySizer& sizer, const HardwareSequence& sequence) {
  const auto& passes = sequence.passes();
  if (passes.empty() || passes.front()->layers.empty()) return;
  const LayerPtr first = passes.front()->layers.front();
  const bool several = passes.size() > 1;
  for (const auto& pass : passes)
    for (const auto& layer : pass->layers) {
      LayerMapping* mapping = layer_mapping(*layer);
      if (!mapping) continue;
      if (mapping->nps)
        for (auto& component : *mapping->nps)
          component.mem_info = fill_memory_info(sizer, layer, component, first, false, several);
      auto& stores = mapping->skip_dma_stores;
      if (const uint32_t i = dual_skip_dma_store_index(*mapping); i < stores.size())
        stores[i].mem_info = fill_memory_info(sizer, layer, stores[i], first, true, several);
      if (const uint32_t i = output_skip_dma_store_index(*mapping); i < stores.size())
        stores[i].mem_info = fill_memory_info(sizer, layer, stores[i], first, false, several);
    }
}

}  // namespace

MappingStatusGroup map_model_on_device(LayerList& layers,
                                       std::vector<std::shared_ptr<Sequence>>& sequences,
                                       const std::shared_ptr<MapConstraints>& constraints,
                                       const std::vector<MappingStatus>& refused) {
  if (!constraints) throw std::runtime_error("Map constraints must be specified.");
  const std::shared_ptr<Device> device = constraints->device();
  const HwVersion hw_version = device->version();
  const uint8_t product = hw_version.product_id;
  const uint32_t version = version_word(hw_version);
  const bool reconfigurable = product_opens_new_passes(product);
  const IpVersionSpecificHardwareBackend backend(device);
  const CompatibilityChecker& checker = backend.checker();
  check_identifiers(*device);

  MappingStatusGroup result;
  MappingStatus current;
  PassContext context =
      build_pass_context(device, &backend, &backend.io_recorder(), &backend.layer_recorder());
  ComponentPool pool(checker, *constraints);
  pool.init();

  const LayerList run_layers = layers;
  std::vector<Group> groups;
  std::vector<hw::Ident> fnp2_used;
  size_t stop = layers.size();
  bool stopped_on_failure = false;
  for (size_t index = 0; index < layers.size(); ++index) {
    const LayerPtr& layer = layers[index];
    const bool first = index == 0;
    LayerPtr previous;
    if (!first)
      if (const auto inbounds = layer->inbound_layers(); !inbounds.empty())
        previous = inbounds.front();
    const auto refusal = std::find_if(refused.begin(), refused.end(), [&](const MappingStatus& s) {
      return s.layer_name == layer->name();
    });
    current = refusal != refused.end() ? *refusal : checker.check_layer(layer, previous, version);
    if (!current.ok()) {
      stop = index;
      stopped_on_failure = true;
      break;
    }
    ComponentList components;
    bool new_pass = false;
    if (targets(layer, ComponentKind::HRC)) {
      if (!device->mesh().hrc) {
        current = make_mapping_status(layer,
                                      "Layer should be mapped on HRC but the device does not "
                                      "have this hardware component.");
        add_failure(result, current);
        return result;
      }
      hw::Component hrc;
      hrc.type = hw::Type::HRC;
      components.push_back(hrc);
    } else if (!targets(layer, ComponentKind::None) && !targets(layer, ComponentKind::SKIP_DMA)) {
      std::vector<hw::Ident> excluded;
      if (targets(layer, ComponentKind::FNP)) excluded = fnp2_used;
      if (reconfigurable && !first && !constraints->hwpr_loopitself()) {
        const auto taken = previous_layer_nps(groups);
        excluded.insert(excluded.end(), taken.begin(), taken.end());
      }
      const bool loop_itself = reconfigurable && constraints->hwpr_loopitself();
      const bool new_pass_allowed = reconfigurable && groups.size() < kMaxGroups;
      LayerResult mapped = pool.map_layer(layer, excluded, loop_itself, new_pass, new_pass_allowed);
      current = mapped.status.ok() ? checker.check_np_mapping(layer, mapped.components, new_pass)
                                   : mapped.status;
      if (!current.ok()) {
        stop = index;
        stopped_on_failure = true;
        break;
      }
      components = std::move(mapped.components);
      for (const auto& component : components)
        if (component.type == hw::Type::FNP2) fnp2_used.push_back(component.ident);
    }
    if (groups.empty() || (new_pass && !first)) groups.emplace_back();
    groups.back().layers.push_back(layer);
    groups.back().components.push_back(std::move(components));
    if (targets(layer, ComponentKind::TNP_R)) {
      // The recurrent layer takes the rest of the chain into its pass.
      for (size_t rest = index + 1; rest < layers.size(); ++rest) {
        groups.back().layers.push_back(layers[rest]);
        groups.back().components.emplace_back();
      }
      break;
    }
  }

  // Only the failures of the last run of consecutive failing layers count.
  LayerList failed;
  MappingStatusGroup local;
  for (size_t index = 0; index < stop; ++index) {
    const LayerList prefix(layers.begin(), layers.begin() + static_cast<ptrdiff_t>(index + 1));
    const MappingStatus status = checker.check_sequence(prefix, version);
    if (status.ok()) {
      failed.clear();
      local = MappingStatusGroup();
    } else {
      failed.push_back(layers[index]);
      add_failure(local, status);
    }
  }
  if (!local.ok()) result.merge(local);
  for (auto& group : groups)
    for (size_t i = group.layers.size(); i-- > 0;)
      if (std::find(failed.begin(), failed.end(), group.layers[i]) != failed.end()) {
        group.layers.erase(group.layers.begin() + static_cast<ptrdiff_t>(i));
        group.components.erase(group.components.begin() + static_cast<ptrdiff_t>(i));
      }
  std::erase_if(groups, [](const Group& group) { return group.layers.empty(); });

  if (!groups.empty() && first_mappable_layer(groups.front().layers)) {
    for (auto& group : groups)
      build_hardware_passes(context, group.layers, run_layers, std::move(group.components));
    auto [status, sequence] = build_sequence_program(context);
    if (!status.ok()) {
      add_failure(result, status);
      return result;
    }
    const bool recurrent_first =
        targets(first_mappable_layer(groups.front().layers), ComponentKind::TNP_R);
    for (const auto& group : groups)
      for (const auto& layer : group.layers) std::erase(layers, layer);
    if (recurrent_first) layers.clear();
    fill_memory_infos(backend.sizer(), *sequence);
    sequences.push_back(std::move(sequence));
  }
  if (stopped_on_failure) add_failure(result, current);
  return result;
}

}  // namespace morla
