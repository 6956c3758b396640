#include "backend/v2/sequence_rules.h"

#include <algorithm>
#include <optional>
#include <string>

#include "program/contract/graph_utils.h"
#include "core/engine_api/layer_params.h"
#include "backend/v2/variable_access.h"

namespace morla::v2 {

namespace {

using Kind = ComponentKind;

// Largest input width of a CNP, and most components of a pass's first layer.
constexpr uint32_t kMaxNpInputWidth = 64;
constexpr size_t kMaxFirstLayerComponents = 127;

using Failure = std::optional<MappingStatus>;

Failure fail(const Layer& layer, std::string message) {
  return make_mapping_status(layer, std::move(message));
}

bool is_type(const Layer& layer, LayerType type) { return layer.params()->layer_type() == type; }

bool in_run(const LayerList& run, const LayerPtr& layer) {
  return std::find(run.begin(), run.end(), layer) != run.end();
}

// The first non-null inbound of `layer` that `matches`, or null.
template <typename Pred> LayerPtr first_inbound(const Layer& layer, Pred matches) {
  for (const auto& in : layer.inbounds())
    if (in && matches(*in)) return in;
  return nullptr;
}

Failure check_dequantizer_place(const LayerList& run) {
  const auto d = std::find_if(run.begin(), run.end(),
                              [](const LayerPtr& l) { return is_type(*l, LayerType::Dequantizer); });
  if (d == run.end()) return std::nullopt;
  if (d == run.begin()) return fail(*run.front(), "Can't start a sequence with a Dequantizer.");
  if (d != run.end() - 1)
    return fail(**d, "Only 1 Dequantizer at the end of the model is supported.");
  return std::nullopt;
}

// The sequence's output leaves through its last computing layer.
Failure check_tail(const LayerList& run) {
  const bool ends_in_dequantizer = is_type(*run.back(), LayerType::Dequantizer);
  const Layer& tail = ends_in_dequantizer ? *run[run.size() - 2] : *run.back();
  if (tail.has_pool_type(PoolType::Max))
    return fail(tail, "A layer with max pooling cannot be the last layer of a sequence.");
  if (tail.has_activation() || (tail.output_bits() & 0xFF) < 9) return std::nullopt;
  const auto scales = optional_variable(tail, "output_scales");
  const auto shifts = optional_variable(tail, "output_shift");
  if (!scales) return fail(tail, "No variable named 'output_scales'.");
  if (!shifts) return fail(tail, "No variable named 'output_shift'.");
  const int8_t* shift = shifts->data<int8_t>();
  if (std::any_of(shift, shift + shifts->size(), [](int8_t s) { return s != 0; }))
    return fail(tail, "Without activation output_shift should be 0.");
  const uint8_t* scale = scales->data<uint8_t>();
  if (std::any_of(scale, scale + scales->size(), [](uint8_t s) { return s != 1; }))
    return fail(tail, "Without activation output_scales should be 1.");
  return std::nullopt;
}

Failure check_neighbours(const LayerList& run, const Layer& x) {
  if (!x.is_target_component(Kind::CNP) && !x.is_target_component(Kind::TNP_B)) {
    const LayerPtr y = first_inbound(x, [](const Layer& in) {
      return in.is_target_component(Kind::CNP) && in.has_pool_type(PoolType::Max);
    });
    if (y && in_run(run, y))
      return fail(x, "Any layer with max pooling must be followed by a layer mapped on a CNP or "
                     "a TNP-B. Layer '" + y->name() + "' has max pooling.");
  }
  if (x.is_target_component(Kind::CNP)) {
    const LayerPtr y = first_inbound(x, [](const Layer& in) { return in.is_target_component(Kind::FNP); });
    if (y && in_run(run, y))
      return fail(x, "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP "
                     "due to incompatible data processing requirements. Layer '" + y->name() +
                         "' is mappable on FNP.");
  }
  if (x.is_target_component(Kind::FNP)) {
    const LayerPtr y =
        first_inbound(x, [](const Layer& in) { return in.is_target_component(Kind::SKIP_DMA); });
    if (y && in_run(run, y))
      return fail(x, "Dense layer can't have Add/Concat as inbound. Layer '" + y->name() +
                         "' is a Add/Concat.");
  }
  const size_t outbounds = x.outbounds().size();
  if (outbounds >= 3)
    return fail(x, "Layer has " + std::to_string(outbounds) +
                       " outbounds. A maximum of 2 outbounds is supported.");
  return std::nullopt;
}

// The deeper input of a Concatenate arrives second; it may feed nothing else.
Failure check_concat_second_input(const LayerPtr& x) {
  const LayerList outbounds = x->outbounds();
  if (outbounds.size() < 2) return std::nullopt;
  for (const auto& c : outbounds) {
    if (!c || !is_type(*c, LayerType::Concatenate)) continue;
    const LayerList inbounds = c->inbounds();
    if (inbounds.size() < 2 || inbounds[1] != x || !inbounds[0]) continue;
    DepthMemo memo;
    if (layer_depth(x, memo) > layer_depth(inbounds[0], memo))
      return fail(*x, "Is the second input of a Concat, it can't have multiple outputs.");
  }
  return std::nullopt;
}

Failure first_failure(const LayerList& run) {
  const Layer& first = *run.front();
  if (first.is_target_component(Kind::SKIP_DMA))
    return fail(first, "Can't be the first layer of the sequence.");
  if (auto f = check_dequantizer_place(run)) return f;
  if (auto f = check_tail(run)) return f;
  for (const auto& x : run)
    if (auto f = check_neighbours(run, *x)) return f;
  if (first.is_target_component(Kind::HRC) && first.outbounds().size() >= 2)
    return fail(first, "A layer mapped on HRC supports 1 outbound only.");
  if (count_open_branches(run) >= 2)
    return MappingStatus(1, "Bad mapping on skip connection. Several branches.");
  if (run.back()->is_target_component(Kind::SKIP_DMA))
    return fail(*run.back(), "Bad mapping on skip connection. No valid merge layer. Add layer "
                             "requires an outbound that is mappable on a CNP.");
  for (const auto& x : run)
    if (auto f = check_concat_second_input(x)) return f;
  return std::nullopt;
}

}  // namespace

MappingStatus check_v2_sequence(const LayerList& layers) {
  if (layers.empty()) throw std::invalid_argument("A sequence check needs at least one layer.");
  return first_failure(layers).value_or(MappingStatus());
}

MappingStatus check_v2_np_mapping(const Layer& layer, const std::vector<hw::Component>& components,
                                  bool first_of_pass) {
  for (const auto& c : components) {
    if ((c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) || !c.np_block) continue;
    const uint32_t width = (c.np_block->spatial_partition.shape[0] + 3) & ~3u;
    if (width > kMaxNpInputWidth)
      return make_mapping_status(layer, "The input length " + std::to_string(width) +
                                            " exceeds the maximum value for NP input width: " +
                                            std::to_string(kMaxNpInputWidth) + ".");
  }
  const auto stores = std::count_if(components.begin(), components.end(), [](const hw::Component& c) {
    return c.type == hw::Type::SKIP_DMA_STORE;
  });
  if (stores >= 2)
    return make_mapping_status(layer, "A layer which outputs directly to one skip dma and another "
                                      "skipdma via dual outputs is not supported.");
  if (first_of_pass) {
    if (components.size() > kMaxFirstLayerComponents)
      return make_mapping_status(layer, "First layer of pass exceeds the maximum of " +
                                            std::to_string(kMaxFirstLayerComponents) +
                                            " hardware components. Needs " +
                                            std::to_string(components.size()) + ".");
    if (layer.is_target_component(Kind::TNP_B))
      return make_mapping_status(layer, "A TNP-B layer cannot be the first layer of a pass.");
  }
  return MappingStatus();
}

}  // namespace morla::v2
