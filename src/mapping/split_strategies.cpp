#include "mapping/split_strategies.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"

namespace morla {
namespace {

constexpr const char* kFitInputs = "Cannot split to fit inputs in ram.";

uint32_t ceil_div(uint32_t a, uint32_t b) { return a / b + (a % b != 0); }
uint32_t round_up(uint32_t value, uint32_t align) { return ceil_div(value, align) * align; }

// The pieces of an axis cut into `factor` pieces, after pooling alignment; none when the
// factor cannot cut the axis without an empty piece.
std::optional<AxisSplit> cut_axis(const AxisSplit& axis, uint32_t factor) {
  if (factor == 0 || factor > axis.total) return std::nullopt;
  AxisSplit cut = axis;
  cut.count = factor;
  cut.piece = ceil_div(axis.total, factor);
  if (factor >= 2 && axis.align >= 2) {
    cut.piece = round_up(cut.piece, axis.align);
    if (cut.piece > axis.limit) {
      cut.piece -= axis.align;
      if (cut.piece == 0) return std::nullopt;
      cut.count = ceil_div(axis.total, cut.piece);
    }
  }
  if (uint64_t{cut.count - 1} * cut.piece >= axis.total) return std::nullopt;
  return cut;
}

// Extent of an input tile: the piece plus the halo its neighbours imply.
uint64_t tile_extent(const AxisSplit& cut, uint32_t lead_halo, uint32_t trail_halo) {
  if (cut.count <= 1) return cut.piece;
  if (cut.count == 2) return uint64_t{cut.piece} + std::max(lead_halo, trail_halo);
  return uint64_t{cut.piece} + lead_halo + trail_halo;
}

bool last_neuron_piece_aligned(const SplitSearch& search, const AxisSplit& neurons) {
  if (!(search.tnp_b && search.per_channel && neurons.count > 1)) return true;
  const uint32_t last = neurons.total - neurons.piece * (neurons.count - 1);
  return neurons.align == 0 || last % neurons.align == 0;
}

struct Tile {
  uint64_t height;
  uint64_t width;
  uint32_t channels;
};

// The buffer an input tile fits: dual first, single unless only dual placements count.
BufferMode fitting_buffer(const SplitSearch& search, const CompatibilityChecker& checker,
                          const Tile& tile) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (tile.height > kMax || tile.width > kMax) return BufferMode::None;
  const auto h = static_cast<uint32_t>(tile.height);
  const auto w = static_cast<uint32_t>(tile.width);
  if (checker.fits_dual_buffer(search.type, h, w, tile.channels, search.fifo_size,
                               search.input_bits, search.reserved_words))
    return BufferMode::Dual;
  if (!search.loop_itself &&
      checker.fits_single_buffer(search.type, h, w, tile.channels, search.fifo_size,
                                 search.input_bits, search.reserved_words))
    return BufferMode::Single;
  return BufferMode::None;
}

// The smallest tile extent over every piece count the search may give an axis; none when
// no count is admissible. The smallest tile is not always at the largest count: alignment
// and the halo of two or three pieces can make a finer cut wider.
std::optional<uint64_t> smallest_extent(const AxisSplit& axis, uint32_t lead, uint32_t trail,
                                        uint32_t max_factor) {
  std::optional<uint64_t> best;
  for (uint32_t f = std::max(axis.count, 1u); f <= max_factor; ++f) {
    const auto cut = cut_axis(axis, f);
    if (!cut) continue;
    const uint64_t extent = tile_extent(*cut, lead, trail);
    if (!best || extent < *best) best = extent;
  }
  return best;
}

std::optional<uint32_t> smallest_channels(const SplitSearch& search, const AxisSplit& neurons) {
  if (!search.per_channel) return search.channels;
  std::optional<uint32_t> best;
  for (uint32_t f = std::max(neurons.count, 1u); f <= neurons.total; ++f) {
    const auto cut = cut_axis(neurons, f);
    if (!cut || !last_neuron_piece_aligned(search, *cut)) continue;
    if (!best || cut->piece < *best) best = cut->piece;
  }
  return best;
}

// Whether some grid could fit at all. The fit predicates grow with the tile: a tile that
// does not fit does not fit when any of its extents grows. So when the smallest tile the
// search can produce fits neither buffer, no grid fits and the search need not run (it
// would enumerate every NP count up to width x height x neurons).
bool some_grid_may_fit(const SplitSearch& search, const CompatibilityChecker& checker,
                       const AxisSplit& width, const AxisSplit& height, const AxisSplit& neurons) {
  const LayerGeometry& g = search.geometry;
  const auto min_width = smallest_extent(width, g.left_halo, g.right_halo, width.total);
  const uint32_t max_height_factor = search.allow_height ? height.total : 1;
  const auto min_height = smallest_extent(height, g.top_halo, g.bottom_halo, max_height_factor);
  const auto min_channels = smallest_channels(search, neurons);
  bool neurons_admissible = false;
  for (uint32_t f = std::max(neurons.count, 1u); f <= neurons.total && !neurons_admissible; ++f) {
    const auto cut = cut_axis(neurons, f);
    neurons_admissible = cut && last_neuron_piece_aligned(search, *cut);
  }
  if (!min_width || !min_height || !min_channels || !neurons_admissible) return false;
  return fitting_buffer(search, checker, Tile{*min_height, *min_width, *min_channels}) !=
         BufferMode::None;
}

// Leading pooling padding of rows and columns (0 without pooling parameters).
std::pair<uint32_t, uint32_t> leading_pool_padding(const Layer& layer) {
  const auto* pooled = dynamic_cast<const HasPoolParams*>(&layer);
  const uint32_t* row = pooled ? pooled->pool_params() : nullptr;
  if (!row) return {0, 0};
  return {row[3], row[5]};
}

uint32_t first_piece_extent(uint32_t piece, uint32_t total, uint32_t pad) {
  if (piece != total && (pad == 0 || piece > pad)) return piece - pad;
  return piece;
}

SplitResult failure(const LayerPtr& layer, const char* text) {
  return {make_mapping_status(layer, text), {}};
}

uint32_t reserved_words(const Layer& layer) {
  const LayerList inbounds = layer.inbounds();
  if (inbounds.empty() || !inbounds.front() || !inbounds.front()->params()) return 0;
  return inbounds.front()->params()->layer_type() == LayerType::Add ? 512 : 0;
}

uint32_t fifo_size(const Layer& layer) {
  const LayerParams* params = layer.params();
  return params->has("fifo_size") ? static_cast<uint32_t>(params->get("fifo_size")) : 0;
}

struct Entry {
  bool depthwise;
  bool transposed;
};

SplitResult split_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                        uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                        hw::Type type, bool loop_itself, Entry entry) {
  const Shape input = layer->input_dims();
  const bool tnp_b = layer->is_target_component(ComponentKind::TNP_B);
  LayerGeometry geometry;
  if (entry.transposed) {
    // A kernel below 3 has no trailing halo (rather than a wrapped, huge one).
    const int kernel = layer->params()->get("kernel_size");
    const uint32_t trail = kernel >= 3 ? static_cast<uint32_t>(kernel - 3) : 0;
    geometry = LayerGeometry{1, trail, 1, trail, 0, 0, 0, 0};
    geometry.filters =
        entry.depthwise ? input[2] : static_cast<uint32_t>(layer->params()->get("filters"));
  } else {
    geometry = checker.layer_geometry(type, *layer->params());
  }
  const uint32_t align = geometry.pool_type == 1 ? geometry.pool_width : 1;

  const AxisSplit height = split_axis(input[1], max_height, align);
  if (entry.transposed) {
    if (height.count != 1 || height.piece == 0)
      return failure(layer, "Split by height is not supported.");
  } else if (height.count == 0 || height.piece == 0) {
    return failure(layer, "Cannot split by height.");
  }
  const AxisSplit width = split_axis(input[0], max_width, entry.transposed ? 1 : align);
  if (width.count == 0 || width.piece == 0) return failure(layer, "Cannot split by width.");
  const uint32_t neuron_total = entry.depthwise ? input[2] : geometry.filters;
  // A depthwise layer's neurons are its channels, whatever filter count its parameters
  // imply: the pieces are cut from the channels and take their filters from them.
  if (entry.depthwise) geometry.filters = neuron_total;
  const uint32_t neuron_align = entry.depthwise && tnp_b ? 4 : 1;
  AxisSplit neurons = split_axis(neuron_total, max_filters, neuron_align);
  if (neurons.piece == 0) return failure(layer, "Cannot split by neurons.");
  neurons = fit_weights_split(layer, checker, neurons);
  if (neurons.count == 0 || neurons.piece == 0)
    return failure(layer, "Cannot split to fit weights in ram.");

  SplitSearch search;
  search.channels = input[2];
  search.input_bits = layer->input_bits();
  search.geometry = geometry;
  search.fifo_size = entry.transposed ? 0 : fifo_size(*layer);
  search.type = entry.transposed ? hw::Type::CNP1 : type;
  search.loop_itself = loop_itself;
  search.reserved_words = reserved_words(*layer);
  search.per_channel = entry.depthwise;
  search.allow_height = !entry.transposed;
  search.tnp_b = tnp_b;
  const SplitPlan plan = search_np_split(search, checker, width, height, neurons);
  if (!plan.found) return failure(layer, kFitInputs);
  return {MappingStatus(), build_split_components(layer, geometry, plan, search.type)};
}

}  // namespace

AxisSplit split_axis(uint32_t total, uint32_t limit, uint32_t align) {
  if (align > limit) return AxisSplit{0, 0, 0, 0, 0};
  AxisSplit axis{0, 0, total, limit, align};
  if (total <= limit) {
    axis.count = total == 0 ? 0 : 1;
    axis.piece = total;
    return axis;
  }
  axis.count = ceil_div(total, limit);
  axis.piece = ceil_div(total, axis.count);
  if (align >= 2 && axis.count >= 2) {
    axis.piece = round_up(axis.piece, align);
    if (axis.piece > limit) {
      axis.piece -= align;
      axis.count = ceil_div(total, axis.piece);
    }
  }
  return axis;
}

AxisSplit fit_weights_split(const LayerPtr& layer, const CompatibilityChecker& checker,
                            AxisSplit neurons) {
  if (checker.fits_weights(layer, neurons.piece)) return neurons;
  for (uint32_t candidate = neurons.count + 1; candidate - 1 < neurons.total; ++candidate) {
    uint32_t c = candidate;
    uint32_t p = ceil_div(neurons.total, c);
    if (neurons.align >= 2 && c >= 2) {
      p = round_up(p, neurons.align);
      if (p > neurons.limit) {
        p -= neurons.align;
        c = p == 0 ? 0 : ceil_div(neurons.total, p);
      }
    }
    if (p != 0 && c != 0 && uint64_t{c - 1} * p < neurons.total) {
      neurons.count = c;
      neurons.piece = p;
    }
    if (checker.fits_weights(layer, neurons.piece)) return neurons;
  }
  return AxisSplit{0, 0, 0, 0, 0};
}

std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> factor_triples(uint32_t n) {
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> triples;
  if (n == 0) return triples;
  std::vector<uint32_t> small, large;
  for (uint32_t d = 1; uint64_t{d} * d <= n; ++d) {
    if (n % d != 0) continue;
    small.push_back(d);
    if (d != n / d) large.push_back(n / d);
  }
  // All divisors, largest first.
  std::vector<uint32_t> divisors(large.begin(), large.end());
  divisors.insert(divisors.end(), small.rbegin(), small.rend());
  for (uint32_t x : divisors) {
    const uint32_t rest = n / x;
    for (uint32_t y : divisors)
      if (y <= rest && rest % y == 0) triples.emplace_back(x, y, rest / y);
  }
  return triples;
}

SplitPlan search_np_split(const SplitSearch& search, const CompatibilityChecker& checker,
                          const AxisSplit& width, const AxisSplit& height,
                          const AxisSplit& neurons) {
  SplitPlan plan;
  const uint64_t t_min = uint64_t{width.count} * height.count * neurons.count;
  // Counts beyond 32 bits hold no triple of pieces the axes admit.
  const uint64_t t_max = std::min<uint64_t>(uint64_t{width.total} * height.total * neurons.total,
                                            std::numeric_limits<uint32_t>::max());
  if (t_min > t_max) return plan;
  if (!some_grid_may_fit(search, checker, width, height, neurons)) return plan;
  const LayerGeometry& g = search.geometry;
  for (uint64_t t = std::max<uint64_t>(t_min, 1); t <= t_max; ++t) {
    for (const auto& [x, y, z] : factor_triples(static_cast<uint32_t>(t))) {
      if (x < width.count || y < height.count || z < neurons.count) continue;
      if (!search.allow_height && y != 1) continue;
      const auto w = cut_axis(width, x);
      const auto h = cut_axis(height, y);
      const auto n = cut_axis(neurons, z);
      if (!w || !h || !n) continue;
      if (!last_neuron_piece_aligned(search, *n)) continue;
      const Tile tile{tile_extent(*h, g.top_halo, g.bottom_halo),
                      tile_extent(*w, g.left_halo, g.right_halo),
                      search.per_channel ? n->piece : search.channels};
      const BufferMode mode = fitting_buffer(search, checker, tile);
      if (mode == BufferMode::None) continue;
      return SplitPlan{true, *w, *h, *n, mode};
    }
  }
  return plan;
}

std::vector<hw::Component> build_split_components(const LayerPtr& layer,
                                                  const LayerGeometry& geometry,
                                                  const SplitPlan& plan, hw::Type type) {
  const Shape input = layer->input_dims();
  const uint32_t total_width = input[0];
  const uint32_t total_height = input[1];
  const uint32_t channels = input[2];
  const auto [pad_top, pad_left] = leading_pool_padding(*layer);
  const bool channel_wise = layer->is_channel_wise();
  std::vector<hw::Component> components;
  uint32_t x = 0;
  for (uint32_t i = 0; i < plan.width.count; ++i) {
    uint32_t w = std::min(plan.width.piece, total_width - std::min(x, total_width));
    if (i == 0) w = first_piece_extent(w, total_width, pad_left);
    const uint32_t window_x = x - (x > 0 ? geometry.left_halo : 0);
    const uint32_t window_w =
        w + (x > 0 ? geometry.left_halo : 0) + (i + 1 < plan.width.count ? geometry.right_halo : 0);
    uint32_t y = 0;
    for (uint32_t j = 0; j < plan.height.count; ++j) {
      uint32_t h = std::min(plan.height.piece, total_height - std::min(y, total_height));
      if (j == 0) h = first_piece_extent(h, total_height, pad_top);
      const uint32_t window_y = y - (y > 0 ? geometry.top_halo : 0);
      const uint32_t window_h = h + (y > 0 ? geometry.top_halo : 0) +
                                (j + 1 < plan.height.count ? geometry.bottom_halo : 0);
      for (uint32_t k = 0; k < plan.neurons.count; ++k) {
        const uint32_t start = plan.neurons.piece * k;
        const uint32_t filters =
            std::min(plan.neurons.piece, geometry.filters - std::min(start, geometry.filters));
        const uint32_t piece_channels = channel_wise ? filters : channels;
        hw::Component component;
        component.type = type;
        hw::NpBlock block;
        block.start_neuron = start;
        block.filters = filters;
        block.spatial_partition = NpSpace{x, y, Shape{w, h, piece_channels}};
        block.input_window = NpSpace{window_x, window_y, Shape{window_w, window_h, piece_channels}};
        block.single_buffer = plan.buffer == BufferMode::Single;
        component.np_block = block;
        components.push_back(component);
      }
      y += h;
    }
    x += w;
  }
  return components;
}

SplitResult split_conv_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                             uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                             hw::Type type, bool loop_itself) {
  return split_layer(layer, checker, max_height, max_width, max_filters, type, loop_itself,
                     {false, false});
}

SplitResult split_depthwise_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                                  uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                  hw::Type type, bool loop_itself) {
  return split_layer(layer, checker, max_height, max_width, max_filters, type, loop_itself,
                     {true, false});
}

SplitResult split_transposed_conv_layer(const LayerPtr& layer, const CompatibilityChecker& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, bool loop_itself) {
  return split_layer(layer, checker, max_height, max_width, max_filters, hw::Type::CNP1,
                     loop_itself, {false, true});
}

SplitResult split_depthwise_transposed_conv_layer(const LayerPtr& layer,
                                                  const CompatibilityChecker& checker,
                                                  uint32_t max_height, uint32_t max_width,
                                                  uint32_t max_filters, bool loop_itself) {
  return split_layer(layer, checker, max_height, max_width, max_filters, hw::Type::CNP1,
                     loop_itself, {true, true});
}

void append_skip_dma_components(std::vector<hw::Component>& components,
                                const std::vector<hw::Type>& types, const LayerPtr& layer) {
  for (size_t i = 1; i < types.size(); ++i) {
    size_t n = 1;
    hw::Type type = hw::Type::SKIP_DMA_LOAD;
    if (types[i] == hw::Type::SKIP_DMA_STORE) {
      type = hw::Type::SKIP_DMA_STORE;
      n = size_t{layer->is_target_component(ComponentKind::TNP_B)} + size_t{is_skip_source(layer)} +
          size_t{dual_output_to_store_dma(layer)};
    }
    hw::Component component;
    component.type = type;
    components.insert(components.end(), n, component);
  }
}

}  // namespace morla
