#include "hwmap/sequence_program.h"

#include <algorithm>
#include <cstring>

#include "core/device.h"
#include "engine_api/engine.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "hwmap/descriptor_budget.h"
#include "hwmap/hardware_backend.h"
#include "hwmap/hardware_sequence.h"
#include "mapping/recording_refusal.h"
#include "contract/fnp_input_size.h"
#include "contract/graph_utils.h"
#include "program/program_builder.h"

namespace morla {
namespace {

bool on(const LayerPtr& layer, ComponentKind kind) {
  return layer && layer->is_target_component(kind);
}

LayerType type_of(const Layer& layer) { return layer.params()->layer_type(); }

ComponentList* nps_of(const LayerPtr& layer) {
  LayerMapping* mapping = layer ? layer_mapping(*layer) : nullptr;
  return mapping && mapping->nps ? mapping->nps.get() : nullptr;
}

// A variable's elements as the 32-bit words they are stored in.
std::vector<uint32_t> words_of(const Layer& layer, const char* name) {
  const auto value = layer.variables().get(name);
  std::vector<uint32_t> words(value->buffer().size() / 4);
  std::memcpy(words.data(), value->buffer().data(), words.size() * 4);
  return words;
}

std::vector<uint32_t> inverse_steps(const Layer& layer) {
  const auto steps = layer.variables().get("act_step");
  std::vector<uint32_t> words;
  for (size_t i = 0; i < steps->size(); ++i) {
    const float step = steps->get<float>(i);
    const float inverse = step == 0.0f ? 0.0f : 1.0f / step;
    uint32_t word;
    std::memcpy(&word, &inverse, 4);
    words.push_back(word);
  }
  return words;
}

// A recorder's refusal of the layer it records names the layer.
template <typename Record>
auto refusing_layer(const LayerPtr& layer, Record record) {
  try {
    return record();
  } catch (const RecordingRefused&) {
    throw;
  } catch (const std::runtime_error& error) {
    throw RecordingRefused(make_mapping_status(layer, error.what()));
  }
}

// Multi-pass sequences run every NP on one input buffer, but for the NPs that the last
// layer of a pass and the first layer of the next share.
void set_single_buffer_flags(const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  if (passes.size() < 2) return;
  for (const auto& pass : passes)
    for (const auto& layer : pass->layers)
      if (ComponentList* nps = nps_of(layer))
        for (auto& component : *nps)
          if (component.np_block) component.np_block->single_buffer = true;
  for (size_t i = 0; i + 1 < passes.size(); ++i) {
    ComponentList* last = nps_of(last_mappable_layer(passes[i]->layers));
    ComponentList* first = nps_of(first_mappable_layer(passes[i + 1]->layers));
    if (!last || !first) continue;
    for (auto& a : *last) {
      if (!a.np_block) continue;
      for (auto& b : *first)
        if (a.ident == b.ident) {
          a.np_block->single_buffer = false;
          if (b.np_block) b.np_block->single_buffer = false;
        }
    }
  }
}

// What the program info says of the sequence as a whole.
struct SequenceFacts {
  LayerPtr first_mappable, last_mappable, first, last;
  uint8_t input_code = 0, output_code = 0, output_bits = 0;
  bool first_on_hrc = false, last_on_hrc = false, has_activation = false;
  Shape input_dims, output_dims;
  uint32_t conv_word0 = 0, conv_word1 = 0;
};

SequenceFacts gather_facts(const LayerList& layers, const IoRecorder& io) {
  SequenceFacts f;
  f.first = layers.front();
  f.last = layers.back();
  f.first_mappable = first_mappable_layer(layers);
  f.last_mappable = last_mappable_layer(layers);
  f.input_code = io.input_code(f.first_mappable);
  f.output_code = io.output_code(f.last, f.input_code);
  f.output_bits = static_cast<uint8_t>(
      type_of(*f.last) == LayerType::Dequantizer ? f.last->input_bits() : f.last->output_bits());
  f.first_on_hrc = on(f.first_mappable, ComponentKind::HRC);
  f.last_on_hrc = on(f.last_mappable, ComponentKind::HRC);
  f.input_dims = f.first_mappable->input_dims();
  if (type_of(*f.first_mappable) == LayerType::Dense1D) {
    const Shape d = f.input_dims;
    f.input_dims = Shape{1, 1, d[0] * d[1] * d[2]};
  }
  f.output_dims = f.last->output_dims();
  if (f.first_on_hrc)
    if (const auto* conv = dynamic_cast<const HasConvParams*>(f.first_mappable.get())) {
      f.conv_word0 = conv->conv_params()[0];
      f.conv_word1 = conv->conv_params()[1];
    }
  f.has_activation = f.last->has_activation();
  return f;
}

bool output_narrow(const SequenceFacts& f) {
  if (type_of(*f.last) == LayerType::Dequantizer) return (f.last->input_bits() & 0xFF) < 9;
  if (f.has_activation) return false;
  return f.output_bits < 9;
}

void fill_first_and_last_layer_data(const SequenceFacts& f, ProgramTables& t) {
  const Layer& first = *f.first;
  const Layer& last = *f.last;
  if (type_of(first) == LayerType::Quantizer) {
    t.quantizer_scales = words_of(first, "scales");
    const auto zero_points = first.variables().get("zero_points");
    const auto* bytes = static_cast<const uint8_t*>(zero_points->buffer().data());
    t.quantizer_zero_points.assign(bytes, bytes + zero_points->buffer().size());
    t.input_bits = static_cast<uint8_t>(first.output_bits());
    t.input_signed = first.output_signed();
    t.channels_first =
        first.params()->has("channels_first") && first.params()->get("channels_first") != 0;
  } else {
    t.input_bits = static_cast<uint8_t>(first.input_bits());
    t.input_signed = t.input_bits >= 5 && !first.is_target_component(ComponentKind::HRC);
  }
  if (type_of(last) == LayerType::Dequantizer) {
    t.output_scales = words_of(last, "scales");
    t.output_thresholds = t.output_scales;
  } else if (!last.has_activation() && last.ip_version() == IpVersion::v1) {
    t.output_scales = inverse_steps(last);
    t.output_thresholds = words_of(last, "threshold");
  }
  t.mote_post_processing = type_of(last) == LayerType::MotePostProcessing;
}

// The recorder flag of a v2 layer feeding a TNP-B, or a CNP feeding an FNP with a narrow
// input.
uint8_t recorder_flag(const LayerPtr& layer, const LayerPtr& next) {
  if (layer->ip_version() != IpVersion::v2 || !next) return 0;
  if (on(next, ComponentKind::TNP_B)) return 1;
  return on(layer, ComponentKind::CNP) && on(next, ComponentKind::FNP) &&
                 ((layer->output_bits() & 0xFF) == 4 || fnp_input_size(*next, false) == 2)
             ? 1
             : 0;
}

bool in_pass(const Sequence::Pass& pass, const LayerPtr& layer) {
  return layer && std::find(pass.layers.begin(), pass.layers.end(), layer) != pass.layers.end();
}

}  // namespace

std::pair<uint8_t, uint8_t> pass_input_columns(const Sequence::Pass& pass, bool last_on_hrc) {
  LayerPtr layer = first_mappable_layer(pass.layers);
  if (layer && on(layer, ComponentKind::HRC)) {
    if (last_on_hrc) return {0, 0};
    // The HRC feeds the NPs of the layer after it.
    const auto outbounds = layer->outbound_layers();
    layer = outbounds.empty() ? nullptr : outbounds.front();
  }
  const ComponentList* components = nps_of(layer);
  if (!components || components->empty()) return {0, 0};
  if (components->size() == 1 && components->front().type == hw::Type::HRC) return {1, 1};
  uint8_t low = 255, high = 0;
  for (const auto& component : *components) {
    low = std::min(low, component.ident.col);
    high = std::max(high, component.ident.col);
  }
  return {low, high};
}

std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> build_sequence_program(
    PassContext& context) {
  auto fail = [&context](MappingStatus status) {
    context.layers.clear();
    context.passes.clear();
    context.program.clear();
    return std::pair<MappingStatus, std::shared_ptr<HardwareSequence>>{std::move(status), nullptr};
  };
  const auto& passes = context.passes;
  const size_t pass_count = passes.size();
  const bool multi_pass = pass_count >= 2;
  set_single_buffer_flags(passes);

  ProgramBuilder builder(*context.layer_recorder, *context.io_recorder);
  builder.set_hw_version(context.device->version());
  const SequenceFacts facts = gather_facts(context.layers, *context.io_recorder);
  const LayerPtr sequence_first = first_mappable_layer(passes.front()->layers);

  uint32_t largest = 0;
  for (size_t i = 0; i < pass_count; ++i) {
    const Sequence::Pass& pass = *passes[i];
    const uint32_t n = static_cast<uint32_t>(i + 1);
    const bool last_pass = i + 1 == pass_count;
    const LayerPtr pass_first = first_mappable_layer(pass.layers);
    const LayerPtr pass_last = last_mappable_layer(pass.layers);
    const LayerPtr next_pass_first =
        last_pass ? nullptr : first_mappable_layer(passes[i + 1]->layers);
    DescriptorCounter counter;
    if (i == 0) {
      const uint8_t d = builder.record_input(
          facts.first_on_hrc, facts.input_code == 0, facts.last_on_hrc, facts.output_code == 0,
          output_narrow(facts), facts.input_dims, facts.output_dims);
      if (auto s = check_descriptor_budget(facts.first_mappable.get(), 1, d); !s.ok())
        return fail(std::move(s));
      counter = DescriptorCounter(d);
    }
    for (const LayerPtr& layer : pass.layers) {
      const LayerPtr following = next_mappable_layer(layer);
      const LayerPtr next = in_pass(pass, following) ? following : nullptr;
      const uint8_t first_of_pass = i != 0 && layer == pass_first;
      const uint8_t last_of_pass = !last_pass && layer == pass_last;
      if (layer->compiled()) {
        counter.add(
            refusing_layer(layer, [&] { return builder.record_learning(layer, first_of_pass); }));
      } else {
        const uint32_t records = refusing_layer(layer, [&] {
          return builder.record_layer(layer, sequence_first, next_pass_first, first_of_pass,
                                      last_of_pass, {}, 0, recorder_flag(layer, next));
        });
        // The TNP-R record covers the rest of its chain.
        if (on(layer, ComponentKind::TNP_R)) break;
        counter.add(records);
        if (const LayerMapping* mapping = layer_mapping(*layer); mapping && multi_pass)
          counter.add((mapping->store_info ? 4 : 0) + (mapping->dual_store_info ? 4 : 0) +
                      (mapping->load_info ? 1 : 0));
      }
      if (auto s = check_descriptor_budget(layer.get(), n, counter.count()); !s.ok())
        return fail(std::move(s));
    }
    if (!last_pass) {
      std::vector<hw::Ident> idents;
      for (const LayerPtr& layer : pass.layers)
        if (const ComponentList* nps = nps_of(layer))
          for (const auto& component : *nps) idents.push_back(component.ident);
      counter.add(builder.record_pass_handover(next_pass_first, sequence_first, idents));
      if (auto s = check_descriptor_budget(pass_last.get(), n, counter.count()); !s.ok())
        return fail(std::move(s));
    }
    builder.end_pass();
    largest = std::max(largest, counter.count());
  }
  const uint32_t descriptors = largest + 1;
  if (auto s = check_descriptor_budget(last_mappable_layer(passes.back()->layers).get(),
                                       static_cast<uint32_t>(pass_count), descriptors);
      !s.ok())
    return fail(std::move(s));

  if (facts.output_code != 3) {
    auto [low, high] = pass_input_columns(*passes.front(), facts.last_on_hrc);
    for (size_t i = 1; i < pass_count; ++i) {
      const auto [l, h] = pass_input_columns(*passes[i], false);
      low = std::min(low, l);
      high = std::max(high, h);
    }
    builder.record_output_registers(sequence_first, low, high, 1, facts.last_on_hrc, multi_pass,
                                    facts.input_code == 0);
  }

  ProgramTables tables;
  if (const char* text = version()) tables.engine_version = text;
  tables.input_dims = facts.input_dims;
  tables.output_dims = facts.output_dims;
  tables.input_code = facts.input_code;
  tables.output_code = facts.output_code;
  tables.output_bits = facts.output_bits;
  tables.has_activation = facts.has_activation;
  tables.conv_word1 = facts.conv_word1;
  tables.conv_word0 = facts.conv_word0;
  tables.descriptors = static_cast<uint8_t>(descriptors % 256);
  fill_first_and_last_layer_data(facts, tables);
  builder.set_multi_pass(multi_pass);
  builder.rewrite_program_tables(tables, context.program, context.passes);

  auto sequence = std::make_shared<HardwareSequence>(
      context.device, context.backend->shared_description(), context.layers, context.passes,
      std::move(context.program));
  return {MappingStatus(), std::move(sequence)};
}

}  // namespace morla
