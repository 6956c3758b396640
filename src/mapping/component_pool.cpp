#include "mapping/component_pool.h"

#include <algorithm>
#include <string>
#include <stdexcept>
#include <unordered_map>

#include "core/device.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "core/mesh.h"
#include "mapping/map_constraints.h"
#include "mapping/split_strategies.h"
#include "contract/hardware_description.h"
#include "contract/program_record.h"

namespace morla {
namespace {

// Role flags of an NP while the pool is built.
constexpr uint32_t kSharesFnp3Node = 1;
constexpr uint32_t kFnp3 = 2;
constexpr uint32_t kFnp2 = 4;

bool is_skip_dma_type(hw::Type type) {
  return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

// A select_nps override may only choose among the free candidates it was offered, each
// once: anything else would place the layer on an NP that is taken, repeated or absent
// from the mesh, and the program would silently program it twice or not at all.
void require_free_choice(const std::vector<hw::Ident>& candidates,
                         const std::vector<hw::Ident>& chosen, hw::Type type) {
  for (auto it = chosen.begin(); it != chosen.end(); ++it) {
    const bool offered = std::find(candidates.begin(), candidates.end(), *it) != candidates.end();
    if (offered && std::find(chosen.begin(), it, *it) == it) continue;
    throw std::invalid_argument(
        "select_nps must choose each NP once among the free candidates; it chose (" +
        std::to_string(it->col) + ", " + std::to_string(it->row) + ", " + std::to_string(it->id) +
        ") for a " + hw::type_name(type) + ".");
  }
}

hw::Component whole_input_component(hw::Type type, const Layer& layer, uint32_t filters) {
  hw::Component component;
  component.type = type;
  hw::NpBlock block;
  block.start_neuron = 0;
  block.filters = filters;
  block.spatial_partition = NpSpace{0, 0, layer.input_dims()};
  block.input_window = NpSpace{0, 0, layer.input_dims()};
  block.single_buffer = true;
  component.np_block = block;
  return component;
}

const char* verb(size_t count) { return count == 1 ? "is" : "are"; }

}  // namespace

ComponentPool::ComponentPool(const CompatibilityChecker& checker, const MapConstraints& constraints)
    : checker_(checker), constraints_(constraints) {}

void ComponentPool::init() {
  entries_.clear();
  const std::shared_ptr<Device> device = constraints_.device();
  const Mesh& mesh = device->mesh();
  description_ = describe_hardware(device->version().product_id, mesh);

  std::unordered_map<uint32_t, uint32_t> roles;
  for (const auto& np : mesh.nps) {
    for (const hw::Type type : np.types) {
      entries_[type].push_back(PoolEntry{np.ident});
      if (type == hw::Type::FNP2) roles[program::ident_key(np.ident)] |= kFnp2;
      if (type == hw::Type::FNP3) {
        for (const auto& other : mesh.nps)
          if (other.ident.col == np.ident.col && other.ident.row == np.ident.row)
            roles[program::ident_key(other.ident)] |= kSharesFnp3Node;
        roles[program::ident_key(np.ident)] |= kFnp3;
      }
    }
  }
  if (!mesh.skip_dmas.empty()) {
    const uint8_t channels = mesh.skip_dmas.front().ident.channel;
    for (const auto& dma : mesh.skip_dmas) {
      for (uint8_t c = 0; c < channels; ++c) {
        const hw::Ident ident{dma.ident.col, dma.ident.row, dma.ident.id, c};
        entries_[hw::Type::SKIP_DMA_STORE].push_back(PoolEntry{ident});
        entries_[hw::Type::SKIP_DMA_LOAD].push_back(PoolEntry{ident});
      }
    }
  }
  const auto role = [&roles](const PoolEntry& entry) {
    const auto it = roles.find(program::ident_key(entry.ident));
    return it == roles.end() ? 0u : it->second;
  };
  for (auto& [type, list] : entries_) {
    if (is_skip_dma_type(type)) continue;
    std::stable_sort(list.begin(), list.end(), [&role](const PoolEntry& a, const PoolEntry& b) {
      const uint32_t ra = role(a), rb = role(b);
      if (ra != rb) return ra < rb;
      return a.ident < b.ident;
    });
  }
}

void ComponentPool::set_excluded(const std::vector<hw::Ident>& idents) {
  for (auto& [type, list] : entries_)
    for (auto& entry : list)
      entry.excluded = std::find(idents.begin(), idents.end(), entry.ident) != idents.end();
}

void ComponentPool::mark_taken(const hw::Ident& ident, hw::Type type) {
  for (auto& [list_type, list] : entries_) {
    if (type != hw::Type(0) && list_type != type) continue;
    for (auto& entry : list)
      if (entry.ident == ident) entry.taken = true;
  }
}

void ComponentPool::reset_taken() {
  for (auto& [type, list] : entries_)
    for (auto& entry : list) entry.taken = false;
}

size_t ComponentPool::count_not_excluded(hw::Type type) {
  const auto& list = entries_[type];
  return static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [](const PoolEntry& e) { return !e.excluded; }));
}

std::vector<hw::Ident> ComponentPool::available_idents(hw::Type type) {
  std::vector<hw::Ident> idents;
  for (const auto& entry : entries_[type])
    if (!entry.excluded && !entry.taken) idents.push_back(entry.ident);
  return idents;
}

hw::Type ComponentPool::choose_fnp_type(const LayerPtr& layer) {
  const bool fnp2_available = !available_idents(hw::Type::FNP2).empty();
  const bool fnp3_not_excluded = count_not_excluded(hw::Type::FNP3) > 0;
  const bool fnp3_available = !available_idents(hw::Type::FNP3).empty();
  if (((!fnp2_available && fnp3_not_excluded) || fnp3_available) &&
      checker_.fits_fnp3(description_, layer))
    return hw::Type::FNP3;
  return hw::Type::FNP2;
}

LayerResult ComponentPool::map_layer(const LayerPtr& layer, const std::vector<hw::Ident>& excluded,
                                     bool loop_itself, bool& new_pass, bool new_pass_allowed) {
  constraints_.next_layer_handler(layer->name());
  LayerResult result;
  set_excluded(excluded);

  const uint32_t max_h = constraints_.cnp_max_height();
  const uint32_t max_w = constraints_.cnp_max_width();
  const uint32_t max_f = constraints_.cnp_max_filters();
  // Transposed kernels double their input: half the default limits bound them too.
  const uint32_t max_th = std::min(constraints_.cnp_max_height_default() / 2, max_h);
  const uint32_t max_tw = std::min(constraints_.cnp_max_width_default() / 2, max_w);

  std::vector<hw::Type> types;
  auto split_with = [&](auto split) {
    if (types.empty()) return;
    SplitResult split_result = split();
    result.status = split_result.status;
    result.components = std::move(split_result.components);
    if (result.status.ok()) append_skip_dma_components(result.components, types, layer);
  };
  switch (layer->params()->layer_type()) {
    case LayerType::FullyConnected:
    case LayerType::Dense1D:
      types = {choose_fnp_type(layer)};
      result.components = {whole_input_component(
          types.front(), *layer, static_cast<uint32_t>(layer->params()->get("units")))};
      break;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::BufferTempConv:
      types = component_types(layer);
      split_with([&] {
        return split_conv_layer(layer, checker_, max_h, max_w, max_f, types.front(), loop_itself);
      });
      break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
      types = component_types(layer);
      split_with([&] {
        return split_depthwise_layer(layer, checker_, max_h, max_w, max_f, types.front(),
                                     loop_itself);
      });
      break;
    case LayerType::Conv2DTranspose:
      types = component_types(layer);
      split_with([&] {
        return split_transposed_conv_layer(layer, checker_, max_th, max_tw, max_f, loop_itself);
      });
      break;
    case LayerType::DepthwiseConv2DTranspose:
      types = component_types(layer);
      split_with([&] {
        return split_depthwise_transposed_conv_layer(layer, checker_, max_th, max_tw, max_f,
                                                     loop_itself);
      });
      break;
    case LayerType::StatefulRecurrent:
      types = {hw::Type::TNP_R};
      result.components = {whole_input_component(hw::Type::TNP_R, *layer, 0)};
      break;
    default: break;
  }
  if (types.empty())
    throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
  if (!result.status.ok()) return result;

  std::vector<size_t> needed;
  for (const hw::Type type : types)
    needed.push_back(static_cast<size_t>(
        std::count_if(result.components.begin(), result.components.end(),
                      [type](const hw::Component& c) { return c.type == type; })));

  for (size_t t = 0; t < types.size(); ++t) {
    const size_t available =
        new_pass_allowed ? count_not_excluded(types[t]) : available_idents(types[t]).size();
    if (needed[t] > available) {
      result.status = not_enough_components(layer, hw::type_name(types[t]), needed[t], available);
      return result;
    }
  }
  for (size_t t = 0; t < types.size(); ++t) {
    if (needed[t] > available_idents(types[t]).size()) {
      reset_taken();
      new_pass = true;
    }
  }

  for (;;) {
    for (size_t t = 0; t < types.size(); ++t) {
      const hw::Type type = types[t];
      const std::vector<hw::Ident> candidates = available_idents(type);
      const std::vector<hw::Ident> chosen = constraints_.select_nps(candidates, needed[t], type);
      if (chosen.size() != needed[t]) {
        result.status = not_enough_components(layer, hw::type_name(type), needed[t], chosen.size());
        return result;
      }
      require_free_choice(candidates, chosen, type);
      size_t next = 0;
      for (auto& component : result.components) {
        if (component.type != type) continue;
        component.ident = chosen[next++];
        mark_taken(component.ident, is_skip_dma_type(type) ? type : hw::Type(0));
      }
    }
    const bool had_new_pass = new_pass;
    const MappingStatus check = check_next_buffer_temp_conv(layer, new_pass, new_pass_allowed);
    if (check.ok()) break;
    // A new pass has just been started for the next BufferTempConv: place this layer again,
    // in the new pass.
    if (!had_new_pass && new_pass) continue;
    result.status = check;
    return result;
  }

  const auto& first = result.components.front();
  if (result.components.size() > 3 && layer->is_target_component(ComponentKind::TNP_B) &&
      first.np_block && first.np_block->spatial_partition.shape[2] != layer->input_dims()[2] &&
      std::any_of(result.components.begin(), result.components.end(), [](const hw::Component& c) {
        return c.type == hw::Type::TNP_B && c.np_block && c.np_block->filters % 4 != 0;
      })) {
    result.status = make_mapping_status(
        layer, "The number of channels must be a multiple of 4 to be split by filter.");
  }
  return result;
}

MappingStatus ComponentPool::check_next_buffer_temp_conv(const LayerPtr& layer, bool& new_pass,
                                                         bool new_pass_allowed) {
  if (layer->is_target_component(ComponentKind::TNP_B)) return MappingStatus();
  const LayerList outbounds = layer->outbounds();
  if (outbounds.size() != 1) return MappingStatus();
  const LayerPtr& next = outbounds.front();
  if (!next || !next->is_target_component(ComponentKind::TNP_B)) return MappingStatus();

  const bool standard = next->params()->layer_type() == LayerType::BufferTempConv;
  const auto split = standard ? split_conv_layer : split_depthwise_layer;
  const SplitResult next_split =
      split(next, checker_, constraints_.cnp_max_height(), constraints_.cnp_max_width(),
            constraints_.cnp_max_filters(), hw::Type::TNP_B, false);
  const size_t needed = next_split.components.size();

  size_t tnp_b = available_idents(hw::Type::TNP_B).size();
  for (const auto& entry : entries_[hw::Type::TNP_B])
    if (entry.excluded && !entry.taken) ++tnp_b;
  const bool enough = !available_idents(hw::Type::SKIP_DMA_STORE).empty() &&
                      !available_idents(hw::Type::SKIP_DMA_LOAD).empty() && tnp_b >= needed;
  if (enough) return MappingStatus();
  if (new_pass_allowed && !new_pass) {
    reset_taken();
    new_pass = true;
  }
  return make_mapping_status(
      layer, "The next BufferTempConv " + next->name() + " can't be mapped in the current pass.");
}

std::vector<hw::Type> component_types(const LayerPtr& layer) {
  std::vector<hw::Type> types;
  if (layer->is_target_component(ComponentKind::CNP))
    types.push_back(hw::Type::CNP1);
  else if (layer->is_target_component(ComponentKind::TNP_B))
    types.push_back(hw::Type::TNP_B);
  if (needs_skip_dma_store(layer)) types.push_back(hw::Type::SKIP_DMA_STORE);
  if (needs_skip_dma_load(layer)) types.push_back(hw::Type::SKIP_DMA_LOAD);
  return types;
}

MappingStatus not_enough_components(const LayerPtr& layer, const std::string& type_name,
                                    size_t needed, size_t available) {
  return make_mapping_status(layer, "Not enough hardware components of type " + type_name +
                                        " available. " + std::to_string(needed) + " " +
                                        verb(needed) + " needed but " + std::to_string(available) +
                                        " " + verb(available) + " available.");
}

}  // namespace morla
