#include "backend/v2/merge_programming.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "backend/v2/np_registers.h"
#include "program/contract/field_checks.h"
#include "core/engine_api/layer_params.h"
#include "program/contract/layer_mapping.h"
#include "program/contract/mapped_nps.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kRegisterMapBlock = 11;

// Register word address -> words; the first insertion of an address stands.
class RegisterMap {
 public:
  std::vector<uint32_t>& add(uint32_t address, size_t words) {
    const auto key = static_cast<uint16_t>(unsigned_field(address, 16));
    return entries_.try_emplace(key, std::vector<uint32_t>(words, 0)).first->second;
  }
  void append_to(program::Record& record, const hw::Ident& ident) const {
    for (const auto& [address, words] : entries_)
      record.append_np_program(ident, kRegisterMapBlock, address, words, true, true);
  }

 private:
  std::map<uint16_t, std::vector<uint32_t>> entries_;
};

uint32_t ceil_words(uint32_t bits) { return (bits + 31) / 32; }

// Bits 0-3: 2 for one target, 1 for a column range; then the target or the range.
void record_targets(std::vector<uint32_t>& w, const ComponentList& targets) {
  if (targets.size() == 1) {
    const hw::Ident& id = targets.front().ident;
    set_bits(w, 0, 0, 3, 2);
    set_bits(w, 0, 4, 7, 1u << id.id);
    set_bits(w, 0, 16, 23, id.row);
    set_bits(w, 0, 24, 31, id.col);
  } else {
    const auto [low, high] = column_span(targets);
    set_bits(w, 0, 0, 3, 1);
    set_bits(w, 0, 16, 23, low);
    set_bits(w, 0, 24, 31, high);
  }
}

// The words that program the skip-DMA load `load` of a merge layer.
void record_skip_dma_load(program::Record& record, const LayerMapping& m, const hw::Component& load,
                          bool on_tnp_b, uint32_t fifo) {
  const uint32_t c = load.ident.channel;
  RegisterMap map;
  map.add(4097, 1);
  const ComponentList& nps = *m.nps;
  for (const auto& np : nps)
    if (!np.np_block) throw std::invalid_argument("Merging layer has no CNPs.");
  const uint32_t value = m.merge_info ? m.merge_info->index : m.order;
  const uint32_t load_index = m.load_info ? m.load_info->index : 0;
  const uint32_t concat_offset = m.load_info ? m.load_info->concat_offset : 0;
  auto& config = map.add(256 * c + 4100, 3);
  record_targets(config, nps);
  set_bits(config, 1, 8, 15, value);
  set_bits(config, 2, 0, 7, 1);
  set_bits(config, 2, 8, 15, load_index);
  set_bits(config, 2, 16, 23, value);
  set_bits(config, 2, 24, 31, value);
  set_bits(map.add(256 * c + 4139, 1), 0, 0, 11, concat_offset);
  if (!on_tnp_b) set_bits(map.add((c << 8) | 40, 1), 0, 1, 1, 1);
  auto& depth = map.add((c << 8) + 3, 1);
  set_bits(depth, 0, 0, 4, 2);
  set_bits(depth, 0, 16, 23, on_tnp_b ? fifo : 2);
  map.append_to(record, load.ident);
}

}  // namespace

void record_np_dma_registers(program::Record& record, const Layer& layer, bool learning,
                             bool on_tnp_b, uint32_t fifo) {
  const LayerMapping& m = require_layer_mapping(layer);
  const hw::Component* np = learning ? dual_skip_dma_store(m) : output_skip_dma_store(m);
  if (!np) return;
  const uint32_t c = np->ident.channel;
  uint32_t link = 0;
  if (on_tnp_b) link = static_cast<uint8_t>(m.order - 1);
  else if (learning) link = m.merge_info ? m.merge_info->other_order : 0;
  else link = m.next_order;
  const uint32_t output_link = (!learning && m.store_info) ? m.store_info->flag : 0;
  const ComponentList targets = on_tnp_b ? collect_mapped_nps(m) : *m.nps;

  RegisterMap map;
  map.add(4097, 1);
  auto& links = map.add(256 * c + 4134, 1);
  set_bits(links, 0, 0, 7, output_link | (on_tnp_b ? 1u : 0u));
  set_bits(links, 0, 8, 15, link);
  if (output_link != 0) record_targets(map.add(256 * c + 4132, 1), targets);

  const bool input_side = learning || on_tnp_b;
  const Shape dims = input_side ? layer.input_dims() : layer.output_dims();
  const uint32_t bits = (input_side ? layer.input_bits() : layer.output_bits()) & 0xFF;
  auto& depth = map.add((c << 8) + 34, 2);
  set_bits(depth, 0, 0, 2, 2);
  set_bits(depth, 1, 0, 11, on_tnp_b ? fifo + 1 : 2);
  set_bits(map.add((c << 8) | 28, 1), 0, 5, 5, 1);
  auto& shape = map.add((c << 8) | 60, 3);
  set_bits(shape, 0, 0, 3, fifo);
  set_bits(shape, 0, 28, 28, 0);
  const uint32_t row = ceil_words((on_tnp_b ? dims[2] : dims[0]) * bits);
  set_bits(shape, 1, 0, 9, row);
  set_bits(shape, 2, 0, 20, row * (on_tnp_b ? dims[0] : dims[1]));
  map.append_to(record, np->ident);
}

void record_merge_layers(program::Record& record, const Layer& layer) {
  const LayerMapping& m = require_layer_mapping(layer);
  const bool on_tnp_b = layer.is_target_component(ComponentKind::TNP_B);
  const hw::Component* load = skip_dma_load(m);
  uint32_t fifo = 0;
  if (on_tnp_b) {
    fifo = static_cast<uint32_t>(layer.params()->get("fifo_size"));
    std::vector<uint32_t> word(1, 0);
    set_bits(word, 0, 0, 3, 1);
    set_bits(word, 0, 9, 9, 1);
    set_bits(word, 0, 10, 10, 1);
    set_bits(word, 0, 24, 24, 1);
    set_bits(word, 0, 25, 25, 1);
    set_bits(word, 0, 26, 31, 32);
    if (load) {
      const auto field = static_cast<uint16_t>(load->ident.channel << 8);
      record.append_np_program(load->ident, kRegisterMapBlock, field, word, true, true);
      record.append_np_program(load->ident, kRegisterMapBlock, field, word, true, true);
    }
  }
  // The NP entries count two buffers deep unless a TNP-B sets its own depth.
  const uint32_t np_fifo = on_tnp_b ? fifo : 2;
  record_np_dma_registers(record, layer, false, on_tnp_b, np_fifo);
  record_np_dma_registers(record, layer, true, on_tnp_b, np_fifo);
  if (load) record_skip_dma_load(record, m, *load, on_tnp_b, fifo);
}

}  // namespace morla::v2
