#include "backend/v2/merge_programming.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "backend/v2/np_registers.h"
#include "engine_api/layer_params.h"
#include "core/register_field.h"
#include "contract/field_checks.h"
#include "contract/layer_mapping.h"
#include "contract/mapped_nps.h"

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

// Skip-DMA register words, by the address the register map gives them (c = the DMA's
// channel); bits without a known meaning are named by their position.

// A target word: mode (2 one NP, 1 a column range), then the NP or the range.
constexpr BlockField kTargetMode{0, 0, 4};
constexpr BlockField kTargetIdMask{0, 4, 4};
constexpr BlockField kTargetRowOrLow{0, 16, 8};
constexpr BlockField kTargetColOrHigh{0, 24, 8};

// The skip-DMA load's configuration words (address 256 c + 4100).
constexpr BlockField kLoadOrder{1, 8, 8};
constexpr BlockField kLoadWord2Bits0To7{2, 0, 8};
constexpr BlockField kLoadIndex{2, 8, 8};
constexpr BlockField kLoadOrder2{2, 16, 8};
constexpr BlockField kLoadOrder3{2, 24, 8};

// Address 256 c + 4139.
constexpr BlockField kConcatOffset{0, 0, 12};

// Address 256 c + 40.
constexpr BlockField kLoadWord40Bit1{0, 1, 1};

// Address 256 c + 3.
constexpr BlockField kLoadDepthMode{0, 0, 5};
constexpr BlockField kLoadFifo{0, 16, 8};

// The store's link word (address 256 c + 4134).
constexpr BlockField kOutputLink{0, 0, 8};
constexpr BlockField kLink{0, 8, 8};

// The store's depth words (address 256 c + 34).
constexpr BlockField kStoreDepthMode{0, 0, 3};
constexpr BlockField kStoreFifo{1, 0, 12};

// Address 256 c + 28.
constexpr BlockField kStoreWord28Bit5{0, 5, 1};

// The store's frame shape words (address 256 c + 60).
constexpr BlockField kShapeFifo{0, 0, 4};
constexpr BlockField kShapeWord0Bit28{0, 28, 1};
constexpr BlockField kRowWords{1, 0, 10};
constexpr BlockField kFrameWords{2, 0, 21};

// The TNP-B load word of a merge layer.
constexpr BlockField kTnpBLoadMode{0, 0, 4};
constexpr BlockField kTnpBLoadBit9{0, 9, 1};
constexpr BlockField kTnpBLoadBit10{0, 10, 1};
constexpr BlockField kTnpBLoadBit24{0, 24, 1};
constexpr BlockField kTnpBLoadBit25{0, 25, 1};
constexpr BlockField kTnpBLoadBits26To31{0, 26, 6};

uint32_t ceil_words(uint32_t bits) { return (bits + 31) / 32; }

// Bits 0-3: 2 for one target, 1 for a column range; then the target or the range.
void record_targets(std::vector<uint32_t>& w, const ComponentList& targets) {
  if (targets.size() == 1) {
    const hw::Ident& id = targets.front().ident;
    set_register_field(w, kTargetMode, 2);
    set_one_hot_field(w, kTargetIdMask, id.id);
    set_register_field(w, kTargetRowOrLow, id.row);
    set_register_field(w, kTargetColOrHigh, id.col);
  } else {
    const auto [low, high] = column_span(targets);
    set_register_field(w, kTargetMode, 1);
    set_register_field(w, kTargetRowOrLow, low);
    set_register_field(w, kTargetColOrHigh, high);
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
  set_register_field(config, kLoadOrder, value);
  set_register_field(config, kLoadWord2Bits0To7, 1);
  set_register_field(config, kLoadIndex, load_index);
  set_register_field(config, kLoadOrder2, value);
  set_register_field(config, kLoadOrder3, value);
  set_register_field(map.add(256 * c + 4139, 1), kConcatOffset, concat_offset);
  if (!on_tnp_b) set_register_field(map.add((c << 8) | 40, 1), kLoadWord40Bit1, 1);
  auto& depth = map.add((c << 8) + 3, 1);
  set_register_field(depth, kLoadDepthMode, 2);
  set_register_field(depth, kLoadFifo, on_tnp_b ? fifo : 2);
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
  if (on_tnp_b)
    link = static_cast<uint8_t>(m.order - 1);
  else if (learning)
    link = m.merge_info ? m.merge_info->other_order : 0;
  else
    link = m.next_order;
  const uint32_t output_link = (!learning && m.store_info) ? m.store_info->flag : 0;
  const ComponentList targets = on_tnp_b ? collect_mapped_nps(m) : *m.nps;

  RegisterMap map;
  map.add(4097, 1);
  auto& links = map.add(256 * c + 4134, 1);
  set_register_field(links, kOutputLink, output_link | (on_tnp_b ? 1u : 0u));
  set_register_field(links, kLink, link);
  if (output_link != 0) record_targets(map.add(256 * c + 4132, 1), targets);

  const bool input_side = learning || on_tnp_b;
  const Shape dims = input_side ? layer.input_dims() : layer.output_dims();
  const uint32_t bits = (input_side ? layer.input_bits() : layer.output_bits()) & 0xFF;
  auto& depth = map.add((c << 8) + 34, 2);
  set_register_field(depth, kStoreDepthMode, 2);
  set_register_field(depth, kStoreFifo, on_tnp_b ? fifo + 1 : 2);
  set_register_field(map.add((c << 8) | 28, 1), kStoreWord28Bit5, 1);
  auto& shape = map.add((c << 8) | 60, 3);
  set_register_field(shape, kShapeFifo, fifo);
  set_register_field(shape, kShapeWord0Bit28, 0);
  const uint32_t row = ceil_words((on_tnp_b ? dims[2] : dims[0]) * bits);
  set_register_field(shape, kRowWords, row);
  set_register_field(shape, kFrameWords, row * (on_tnp_b ? dims[0] : dims[1]));
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
    set_register_field(word, kTnpBLoadMode, 1);
    set_register_field(word, kTnpBLoadBit9, 1);
    set_register_field(word, kTnpBLoadBit10, 1);
    set_register_field(word, kTnpBLoadBit24, 1);
    set_register_field(word, kTnpBLoadBit25, 1);
    set_register_field(word, kTnpBLoadBits26To31, 32);
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
