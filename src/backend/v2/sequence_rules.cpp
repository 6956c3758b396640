#include "backend/v2/sequence_rules.h"

#include <algorithm>
#include <string>

#include "backend/v2/variable_access.h"
#include "engine_api/layer_params.h"
#include "contract/graph_utils.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

using Kind = ComponentKind;

// Largest input width of a CNP, and most components of a pass's first layer.
constexpr uint32_t kMaxNpInputWidth = 64;
constexpr size_t kMaxFirstLayerComponents = 127;

bool is_type(const Layer& layer, LayerType type) { return layer.params()->layer_type() == type; }

bool in_run(const LayerList& run, const LayerPtr& layer) {
  return std::find(run.begin(), run.end(), layer) != run.end();
}

// The first non-null inbound of `layer` that `matches`, or null.
template <typename Pred>
LayerPtr first_inbound(const Layer& layer, Pred matches) {
  for (const auto& in : layer.inbounds())
    if (in && matches(*in)) return in;
  return nullptr;
}

// ---- Rules of the run as a whole ----------------------------------------------------------------

struct RunFacts {
  const LayerList& run;

  const Layer& first() const { return *run.front(); }
  const Layer& last() const { return *run.back(); }
  // The run's first Dequantizer, or null.
  const Layer* dequantizer() const {
    const auto d = std::find_if(run.begin(), run.end(), [](const LayerPtr& l) {
      return is_type(*l, LayerType::Dequantizer);
    });
    return d == run.end() ? nullptr : d->get();
  }
  // The sequence's output leaves through its last computing layer.
  const Layer& tail() const {
    return is_type(last(), LayerType::Dequantizer) ? *run[run.size() - 2] : last();
  }
  // A tail without activation whose wide outputs leave unscaled.
  bool wide_unactivated_tail() const {
    return !tail().has_activation() && (tail().output_bits() & 0xFF) >= 9;
  }
  std::shared_ptr<Dense> tail_variable(const char* name) const {
    return optional_variable(tail(), name);
  }
};

const Layer* first_of(const RunFacts& r) { return &r.first(); }
const Layer* last_of(const RunFacts& r) { return &r.last(); }
const Layer* tail_of(const RunFacts& r) { return &r.tail(); }
const Layer* dequantizer_of(const RunFacts& r) { return r.dequantizer(); }
const Layer* no_layer(const RunFacts&) { return nullptr; }

template <typename T, typename Pred>
bool any_element(const Dense& tensor, Pred pred) {
  const T* values = tensor.data<T>();
  return std::any_of(values, values + tensor.size(), pred);
}

// Before the neighbour rules, in this order; the first broken one answers.
const Rule<RunFacts> kRunStartRules[] = {
    {[](const RunFacts& r) { return r.first().is_target_component(Kind::SKIP_DMA); },
     "Can't be the first layer of the sequence.", first_of},
    {[](const RunFacts& r) { return r.dequantizer() == &r.first(); },
     "Can't start a sequence with a Dequantizer.", first_of},
    {[](const RunFacts& r) { return r.dequantizer() && r.dequantizer() != &r.last(); },
     "Only 1 Dequantizer at the end of the model is supported.", dequantizer_of},
    {[](const RunFacts& r) { return r.tail().has_pool_type(PoolType::Max); },
     "A layer with max pooling cannot be the last layer of a sequence.", tail_of},
    {[](const RunFacts& r) {
       return r.wide_unactivated_tail() && !r.tail_variable("output_scales");
     },
     "No variable named 'output_scales'.", tail_of},
    {[](const RunFacts& r) {
       return r.wide_unactivated_tail() && !r.tail_variable("output_shift");
     },
     "No variable named 'output_shift'.", tail_of},
    {[](const RunFacts& r) {
       return r.wide_unactivated_tail() && any_element<int8_t>(*r.tail_variable("output_shift"),
                                                               [](int8_t s) { return s != 0; });
     },
     "Without activation output_shift should be 0.", tail_of},
    {[](const RunFacts& r) {
       return r.wide_unactivated_tail() && any_element<uint8_t>(*r.tail_variable("output_scales"),
                                                                [](uint8_t s) { return s != 1; });
     },
     "Without activation output_scales should be 1.", tail_of},
};

// After the neighbour rules, in this order.
const Rule<RunFacts> kRunEndRules[] = {
    {[](const RunFacts& r) {
       return r.first().is_target_component(Kind::HRC) && r.first().outbounds().size() >= 2;
     },
     "A layer mapped on HRC supports 1 outbound only.", first_of},
    {[](const RunFacts& r) { return count_open_branches(r.run) >= 2; },
     "Bad mapping on skip connection. Several branches.", no_layer},
    {[](const RunFacts& r) { return r.last().is_target_component(Kind::SKIP_DMA); },
     "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that "
     "is mappable on a CNP.",
     last_of},
};

// ---- Rules of one layer X of the run ------------------------------------------------------------

struct LayerInRun {
  const LayerList& run;
  const LayerPtr& x;

  bool on(Kind kind) const { return x->is_target_component(kind); }
  // The first inbound of X of that kind when it lies in the run, else null.
  template <typename Pred>
  LayerPtr inbound_in_run(Pred matches) const {
    const LayerPtr y = first_inbound(*x, matches);
    return y && in_run(run, y) ? y : nullptr;
  }
  LayerPtr max_pooling_inbound() const {
    return inbound_in_run([](const Layer& in) {
      return in.is_target_component(Kind::CNP) && in.has_pool_type(PoolType::Max);
    });
  }
  LayerPtr fnp_inbound() const {
    return inbound_in_run([](const Layer& in) { return in.is_target_component(Kind::FNP); });
  }
  LayerPtr merge_inbound() const {
    return inbound_in_run([](const Layer& in) { return in.is_target_component(Kind::SKIP_DMA); });
  }
};

using X = LayerInRun;

const Rule<X> kNeighbourRules[] = {
    {[](const X& f) { return !f.on(Kind::CNP) && !f.on(Kind::TNP_B) && f.max_pooling_inbound(); },
     [](const X& f) {
       return "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B. "
              "Layer '" +
              f.max_pooling_inbound()->name() + "' has max pooling.";
     }},
    {[](const X& f) { return f.on(Kind::CNP) && f.fnp_inbound(); },
     [](const X& f) {
       return "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to "
              "incompatible data processing requirements. Layer '" +
              f.fnp_inbound()->name() + "' is mappable on FNP.";
     }},
    {[](const X& f) { return f.on(Kind::FNP) && f.merge_inbound(); },
     [](const X& f) {
       return "Dense layer can't have Add/Concat as inbound. Layer '" + f.merge_inbound()->name() +
              "' is a Add/Concat.";
     }},
    {[](const X& f) { return f.x->outbounds().size() >= 3; },
     [](const X& f) {
       return "Layer has " + std::to_string(f.x->outbounds().size()) +
              " outbounds. A maximum of 2 outbounds is supported.";
     }},
};

// The deeper input of a Concatenate arrives second; it may feed nothing else.
bool second_concat_input_with_outputs(const X& f) {
  const LayerList outbounds = f.x->outbounds();
  if (outbounds.size() < 2) return false;
  for (const auto& c : outbounds) {
    if (!c || !is_type(*c, LayerType::Concatenate)) continue;
    const LayerList inbounds = c->inbounds();
    if (inbounds.size() < 2 || inbounds[1] != f.x || !inbounds[0]) continue;
    DepthMemo memo;
    if (layer_depth(f.x, memo) > layer_depth(inbounds[0], memo)) return true;
  }
  return false;
}

const Rule<X> kConcatRules[] = {
    {second_concat_input_with_outputs,
     "Is the second input of a Concat, it can't have multiple outputs."},
};

// ---- Rules of the components of one layer -------------------------------------------------------

struct Placement {
  const std::vector<hw::Component>& components;
  bool first_of_pass;

  // The input width of the first CNP that takes more than it can, or 0.
  uint32_t too_wide_input() const {
    for (const auto& c : components) {
      if ((c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) || !c.np_block) continue;
      const uint32_t width = (c.np_block->spatial_partition.shape[0] + 3) & ~3u;
      if (width > kMaxNpInputWidth) return width;
    }
    return 0;
  }
};

const Rule<Placement> kPlacementRules[] = {
    {[](const Placement& p) { return p.too_wide_input() != 0; },
     [](const Placement& p) {
       return "The input length " + std::to_string(p.too_wide_input()) +
              " exceeds the maximum value for NP input width: " + std::to_string(kMaxNpInputWidth) +
              ".";
     }},
    {[](const Placement& p) {
       return std::count_if(p.components.begin(), p.components.end(), [](const hw::Component& c) {
                return c.type == hw::Type::SKIP_DMA_STORE;
              }) >= 2;
     },
     "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not "
     "supported."},
    {[](const Placement& p) {
       return p.first_of_pass && p.components.size() > kMaxFirstLayerComponents;
     },
     [](const Placement& p) {
       return "First layer of pass exceeds the maximum of " +
              std::to_string(kMaxFirstLayerComponents) + " hardware components. Needs " +
              std::to_string(p.components.size()) + ".";
     }},
};

const Rule<Layer> kFirstOfPassRules[] = {
    {[](const Layer& l) { return l.is_target_component(Kind::TNP_B); },
     "A TNP-B layer cannot be the first layer of a pass."},
};

}  // namespace

MappingStatus check_v2_sequence(const LayerList& layers) {
  if (layers.empty()) throw std::invalid_argument("A sequence check needs at least one layer.");
  const RunFacts run{layers};
  RuleStatus status(nullptr);
  if (status.first(kRunStartRules, run).failed()) return status;
  for (const auto& x : layers)
    if (status.merge(RuleStatus(*x).first(kNeighbourRules, X{layers, x})).failed()) return status;
  if (status.first(kRunEndRules, run).failed()) return status;
  for (const auto& x : layers)
    if (status.merge(RuleStatus(*x).first(kConcatRules, X{layers, x})).failed()) return status;
  return status;
}

MappingStatus check_v2_np_mapping(const Layer& layer, const std::vector<hw::Component>& components,
                                  bool first_of_pass) {
  RuleStatus status(layer);
  if (status.first(kPlacementRules, Placement{components, first_of_pass}).failed()) return status;
  if (first_of_pass) status.first(kFirstOfPassRules, layer);
  return status;
}

}  // namespace morla::v2
