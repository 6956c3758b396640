#pragma once
// Shared pieces of the mapping-core tests: a model graph built by name, a checker whose
// buffers are a number of packed input words, and virtual devices with chosen meshes.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "core/mesh.h"
#include "core/virtual_device.h"
#include "mapping/component_pool.h"
#include "mapping/split_strategies.h"
#include "contract/compatibility_checker.h"
#include "contract/component.h"
#include "contract/graph_utils.h"

namespace morla::mapcore_test {

using Params = std::map<std::string, int>;

class Graph {
 public:
  // An 8-bit InputData layer "in" of the given shape.
  Graph(uint32_t width = 8, uint32_t height = 8, uint32_t channels = 4, bool input = true) {
    if (!input) return;
    add("in", LayerType::InputData,
        {{"input_width", static_cast<int>(width)},
         {"input_height", static_cast<int>(height)},
         {"input_channels", static_cast<int>(channels)}},
        {});
  }
  LayerPtr add(const std::string& name, LayerType type, const Params& params,
               const std::vector<std::string>& inbounds) {
    auto layer_params = LayerParams::create(type, params);
    auto layer = Layer::create(layer_params.get(), name);
    LayerList links;
    for (const auto& n : inbounds) links.push_back(model->get_layer(n));
    model->add(layer, links);
    return layer;
  }
  LayerPtr conv(const std::string& name, const std::vector<std::string>& inbounds, int filters = 4,
                int kernel = 3) {
    return add(name, LayerType::Conv2D, {{"kernel_size", kernel}, {"filters", filters}}, inbounds);
  }
  LayerPtr merge(const std::string& name, LayerType type,
                 const std::vector<std::string>& inbounds) {
    return add(name, type, {}, inbounds);
  }
  // a -> {s, b}; b -> c; merge(s, c) (or merge(c, s)) -> m, after "in": the short branch s
  // stores its output through a skip DMA, the merge layer m loads it. s has `s_filters`.
  void residual(LayerType merge_type, bool short_first, int s_filters = 4) {
    conv("a", {"in"});
    conv("s", {"a"}, s_filters);
    conv("b", {"a"});
    conv("c", {"b"});
    merge("merge", merge_type,
          short_first ? std::vector<std::string>{"s", "c"} : std::vector<std::string>{"c", "s"});
    conv("m", {"merge"});
  }
  LayerPtr operator[](const std::string& name) const { return model->get_layer(name); }
  LayerList list(std::initializer_list<const char*> names) const {
    LayerList out;
    for (const char* n : names) out.push_back(model->get_layer(n));
    return out;
  }
  LayerList all() const { return model->layers(); }

  std::unique_ptr<Model> model = Model::create();
};

// Buffers hold a number of packed input words: ceil(width x bits / 32) x height x channels.
class WordChecker : public CompatibilityChecker {
 public:
  uint32_t dual_words = 1u << 20;
  uint32_t single_words = 1u << 20;
  uint32_t max_filters_per_np = 1u << 20;  // fits_weights
  bool fnp3 = true;
  mutable uint64_t buffer_calls = 0;
  mutable uint64_t weight_calls = 0;

  static uint64_t words(uint32_t height, uint32_t width, uint32_t channels, uint32_t bits) {
    return (uint64_t{width} * bits + 31) / 32 * height * channels;
  }

  MappingStatus check_layer(const LayerPtr&, const LayerPtr&, uint32_t) const override {
    return {};
  }
  MappingStatus check_sequence(const LayerList&, uint32_t) const override { return {}; }
  MappingStatus check_np_mapping(const LayerPtr&, const std::vector<hw::Component>&,
                                 bool) const override {
    return {};
  }
  bool fits_single_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint32_t bits,
                          uint32_t) const override {
    ++buffer_calls;
    return words(h, w, c, bits) <= single_words;
  }
  bool fits_dual_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint32_t bits,
                        uint32_t) const override {
    ++buffer_calls;
    return words(h, w, c, bits) <= dual_words;
  }
  bool fits_weights(const LayerPtr&, uint32_t filters) const override {
    ++weight_calls;
    return filters <= max_filters_per_np;
  }
  LayerGeometry layer_geometry(hw::Type, const LayerParams& params) const override {
    const uint32_t k = params.has("kernel_size") ? params.get("kernel_size") : 1;
    LayerGeometry g{k / 2, k / 2, k / 2, k / 2, 0, 0, 0, 0};
    if (params.has("pool_type") && params.get("pool_type") == 1) {
      g.pool_type = 1;
      g.pool_width = g.pool_height = params.get("pool_size");
    }
    g.filters = params.has("filters") ? params.get("filters") : 0;
    return g;
  }
  bool fits_fnp3(const HardwareDescription&, const LayerPtr&) const override { return fnp3; }
};

inline np::Info np_info(uint8_t col, uint8_t row, uint8_t id, std::set<hw::Type> types) {
  return np::Info{hw::Ident{col, row, id, 0}, std::move(types), false};
}

// A v2 device (product 162) with the given NPs and skip DMAs (channel byte = channels).
inline std::shared_ptr<VirtualDevice> v2_device(std::vector<np::Info> nps,
                                                std::vector<np::Info> skip_dmas = {}) {
  Mesh mesh(IpVersion::v2, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt,
            std::move(nps), std::move(skip_dmas));
  return make_virtual_device(HwVersion{1, 162, 1, 0}, mesh);
}

// `count` CNP1 NPs, four to a node, columns from 1.
inline std::vector<np::Info> cnp_nps(size_t count, std::set<hw::Type> types = {hw::Type::CNP1}) {
  std::vector<np::Info> nps;
  for (size_t i = 0; i < count; ++i)
    nps.push_back(np_info(static_cast<uint8_t>(1 + i / 4), 1, static_cast<uint8_t>(i % 4), types));
  return nps;
}

inline hw::Component component(hw::Type type, hw::Ident ident = {}) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return c;
}

// For each layer: a CNP1 or TNP_B as it targets, then the skip DMAs the mapper appends for
// it; every component gets an ident of its own (NPs four to a node, skip DMAs by channel).
inline std::vector<std::vector<hw::Component>> components_for(const LayerList& layers) {
  std::vector<std::vector<hw::Component>> all;
  uint8_t np = 0, channel = 0;
  for (const auto& layer : layers) {
    const std::vector<hw::Type> types = component_types(layer);
    std::vector<hw::Component> list;
    if (!types.empty()) {
      list.push_back(component(
          types.front(), {static_cast<uint8_t>(1 + np / 4), 1, static_cast<uint8_t>(np % 4), 0}));
      ++np;
      append_skip_dma_components(list, types, layer);
      for (size_t i = 1; i < list.size(); ++i) list[i].ident = hw::Ident{5, 0, 0, channel++};
    }
    all.push_back(list);
  }
  return all;
}

}  // namespace morla::mapcore_test
