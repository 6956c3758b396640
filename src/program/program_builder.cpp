#include "program/program_builder.h"

#include <flatbuffers/flatbuffers.h>

#include <array>
#include <stdexcept>

#include "engine_api/layer.h"
#include "device_program_generated.h"
#include "contract/layer_mapping.h"
#include "contract/mapping_status.h"

namespace morla {
namespace fb = device_program;
namespace {

constexpr size_t kInitialBufferBytes = 1024;

fb::NpIdent3 ident3(const hw::Ident& ident) { return fb::NpIdent3(ident.col, ident.row, ident.id); }

// Where a vector's words lie in the finished program data: the offset of its first word
// from the start of the size-prefixed buffer, and its length.
fb::WordLocation locate(const uint8_t* base, const flatbuffers::Vector<uint32_t>* words) {
  if (!words) return fb::WordLocation(0, 0);
  const auto offset = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(words->Data()) - base);
  return fb::WordLocation(offset, words->size());
}

fb::WordLocation first_buffer_location(const uint8_t* base, const fb::NpProgramData* program) {
  if (!program || !program->buffers() || program->buffers()->size() == 0)
    return fb::WordLocation(0, 0);
  return locate(base, program->buffers()->Get(0)->words());
}

fb::ExternalLocation external_location(const uint8_t* base, const fb::ExternalBlockData* block) {
  const fb::WordLocation words = locate(base, block->words());
  const fb::NpIdent3 ident = block->ident() ? *block->ident() : fb::NpIdent3();
  return fb::ExternalLocation(words.offset(), words.count(), ident.col(), ident.row(), ident.id(),
                              0);
}

flatbuffers::Offset<fb::NpProgramInfo> program_info(flatbuffers::FlatBufferBuilder& builder,
                                                    const uint8_t* base,
                                                    const fb::NpProgramData* program) {
  std::vector<fb::WordLocation> locations;
  if (program->buffers())
    for (const auto* buffer : *program->buffers())
      locations.push_back(locate(base, buffer->words()));
  const auto buffers = builder.CreateVectorOfStructs(locations);
  if (!program->external()) return fb::CreateNpProgramInfo(builder, buffers);
  const fb::ExternalLocation external = external_location(base, program->external());
  return fb::CreateNpProgramInfo(builder, buffers, &external);
}

uint32_t ceil32(uint32_t bits) { return (bits + 31) / 32; }

// Words of one skip-DMA store: an input-shaped tensor on a TNP-B, else the layer's output.
uint32_t store_words(const Shape& dims, uint32_t bits, bool tnp_b) {
  bits &= 0xFF;
  return tnp_b ? dims[0] * dims[1] * ceil32(bits * dims[2])
               : dims[1] * dims[2] * ceil32(bits * dims[0]);
}

fb::SkipStoreEntry store_entry(const hw::Ident& ident, bool tnp_b_byte, const SkipStoreInfo* info,
                               uint32_t words) {
  return fb::SkipStoreEntry(ident.col, ident.row, ident.id, ident.channel, tnp_b_byte ? 1 : 0,
                            info ? info->distance : 0, info ? info->index : 0, 0, words);
}

void collect_skip_entries(const Sequence::Pass* pass, std::vector<fb::SkipStoreEntry>& stores,
                          std::vector<fb::SkipLoadEntry>& loads) {
  if (!pass) return;
  for (const auto& layer : pass->layers) {
    const LayerMapping* mapping = layer ? layer_mapping(*layer) : nullptr;
    if (!mapping) continue;
    const bool tnp_b = layer->is_target_component(ComponentKind::TNP_B);
    if (const hw::Component* store = output_skip_dma_store(*mapping)) {
      const Shape dims = tnp_b ? layer->input_dims() : layer->output_dims();
      const uint32_t bits = tnp_b ? layer->input_bits() : layer->output_bits();
      stores.push_back(store_entry(store->ident, tnp_b,
                                   mapping->store_info ? &*mapping->store_info : nullptr,
                                   store_words(dims, bits, tnp_b)));
    }
    if (const hw::Component* dual = dual_skip_dma_store(*mapping)) {
      stores.push_back(store_entry(dual->ident, false,
                                   mapping->dual_store_info ? &*mapping->dual_store_info : nullptr,
                                   store_words(layer->input_dims(), layer->input_bits(), tnp_b)));
    }
    if (const hw::Component* load = skip_dma_load(*mapping)) {
      const SkipLoadInfo* info = mapping->load_info ? &*mapping->load_info : nullptr;
      loads.push_back(fb::SkipLoadEntry(
          load->ident.col, load->ident.row, load->ident.id, load->ident.channel, tnp_b ? 1 : 0,
          info ? info->distance : 0, info ? info->store_index : 0, 0, 0));
    }
  }
}

template <typename T>
flatbuffers::Offset<flatbuffers::Vector<T>> optional_vector(flatbuffers::FlatBufferBuilder& builder,
                                                            const std::vector<T>& values) {
  return values.empty() ? 0 : builder.CreateVector(values);
}

}  // namespace

ProgramBuilder::ProgramBuilder(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder)
    : data_(std::make_unique<flatbuffers::FlatBufferBuilder>(kInitialBufferBytes)),
      info_(std::make_unique<flatbuffers::FlatBufferBuilder>(kInitialBufferBytes)),
      layer_recorder_(layer_recorder),
      io_recorder_(io_recorder) {}

ProgramBuilder::~ProgramBuilder() = default;

void ProgramBuilder::set_hw_version(const HwVersion& version) {
  hw_version_ = fb::CreateHwVersionInfo(*info_, version.vendor_id, version.product_id,
                                        version.major_rev, version.minor_rev)
                    .o;
}

uint32_t ProgramBuilder::add_record(const program::Record& record) {
  std::vector<flatbuffers::Offset<fb::WordBufferData>> buffers;
  for (const auto& buffer : record.buffers())
    buffers.push_back(fb::CreateWordBufferData(*data_, data_->CreateVector(buffer)));
  flatbuffers::Offset<fb::ExternalBlockData> external;
  if (const program::ExternalBlock* block = record.external_block()) {
    const fb::NpIdent3 ident = ident3(program::key_ident(block->key));
    external = fb::CreateExternalBlockData(*data_, &ident, data_->CreateVector(block->words));
  }
  return fb::CreateNpProgramData(*data_, data_->CreateVector(buffers), external).o;
}

uint8_t ProgramBuilder::record_input(bool input_on_hrc, bool input_code_zero, bool last_on_hrc,
                                     bool output_code_zero, bool output_narrow,
                                     const Shape& input_dims, const Shape& output_dims) {
  const program::RecordPtr record =
      io_recorder_.record_input(input_on_hrc, input_code_zero, last_on_hrc, output_code_zero,
                                output_narrow, input_dims, output_dims);
  if (!record) throw std::runtime_error("The input recorder returned no record.");
  current_pass_.push_back(add_record(*record));
  return 1;
}

uint32_t ProgramBuilder::record_layer(const LayerPtr& layer, const LayerPtr& first_layer,
                                      const LayerPtr& next_pass_first, uint8_t first_of_pass,
                                      uint8_t last_of_pass,
                                      const std::vector<hw::Ident>& skip_idents, uint8_t handover,
                                      uint8_t recorder_flag) {
  const program::RecordPtr record =
      layer_recorder_.record_layer(layer, first_layer, next_pass_first, first_of_pass, last_of_pass,
                                   skip_idents, handover, recorder_flag);
  if (!record) throw std::runtime_error("The layer recorder returned no record.");
  current_pass_.push_back(add_record(*record));
  return static_cast<uint32_t>(record->buffers().size());
}

uint32_t ProgramBuilder::record_pass_handover(const LayerPtr& next_pass_first,
                                              const LayerPtr& first_layer,
                                              const std::vector<hw::Ident>& pass_idents) {
  if (!next_pass_first) throw std::invalid_argument("A pass hand-over needs the next layer.");
  LayerMapping& mapping = require_layer_mapping(*next_pass_first);
  // The hand-over programs the layer with its second pass byte; the byte is restored even
  // when the recorder throws.
  struct RestoreOrder {
    LayerMapping& mapping;
    uint8_t order;
    ~RestoreOrder() { mapping.order = order; }
  } restore{mapping, mapping.order};
  mapping.order = mapping.previous_pass_order;
  return record_layer(next_pass_first, first_layer, next_pass_first, 0, 0, pass_idents, 1, 0);
}

uint8_t ProgramBuilder::record_learning(const LayerPtr& layer, uint32_t first_of_pass) {
  std::array<uint32_t, 3> offsets{};
  LearningRecords learning;
  try {
    learning = layer_recorder_.record_learning(layer, first_of_pass);
    for (size_t i = 0; i < 3; ++i) {
      if (!learning.records[i]) throw std::runtime_error("a learning record is missing");
      offsets[i] = add_record(*learning.records[i]);
    }
  } catch (const std::exception& e) {
    throw std::runtime_error(
        make_mapping_status(layer, std::string("Error: ") + e.what() + ".").message());
  }
  const LayerMapping& mapping = require_layer_mapping(*layer);
  if (!mapping.nps || mapping.nps->empty())
    throw std::out_of_range("The learning layer '" + layer->name() + "' has no NP.");
  const fb::NpIdent3 ident = ident3(mapping.nps->front().ident);
  learning_ = fb::CreateLearningData(
                  *data_, &ident, flatbuffers::Offset<fb::NpProgramData>(offsets[0]),
                  flatbuffers::Offset<fb::NpProgramData>(offsets[1]),
                  flatbuffers::Offset<fb::NpProgramData>(offsets[2]), learning.weight_words)
                  .o;
  return static_cast<uint8_t>(learning.records[1]->buffers().size() +
                              learning.records[2]->buffers().size());
}

void ProgramBuilder::record_output_registers(const LayerPtr& layer, uint8_t first_column,
                                             uint8_t last_column, uint8_t fixed_value,
                                             bool last_on_hrc, bool multi_pass,
                                             bool input_code_zero) {
  const RegisterWrites writes = io_recorder_.output_registers(
      layer, first_column, last_column, fixed_value, last_on_hrc, multi_pass, input_code_zero);
  register_writes_.insert(register_writes_.end(), writes.begin(), writes.end());
}

void ProgramBuilder::end_pass() {
  std::vector<flatbuffers::Offset<fb::NpProgramData>> programs;
  for (const uint32_t offset : current_pass_) programs.emplace_back(offset);
  pass_offsets_.push_back(fb::CreatePassData(*data_, data_->CreateVector(programs)).o);
  current_pass_.clear();
}

void ProgramBuilder::set_multi_pass(bool multi_pass) {
  if (!multi_pass) return;
  uint32_t words[2];
  program::write_np_block_header(words, hw::Ident{}, 8, 1, 0, false);
  header_words_ = {words[0], words[1]};
}

void ProgramBuilder::rewrite_program_tables(
    const ProgramTables& tables, std::vector<uint8_t>& program,
    const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  if (finished_) throw std::logic_error("The program tables have already been written.");
  finished_ = true;

  // Program data first: the info buffer locates words inside it.
  std::vector<flatbuffers::Offset<fb::PassData>> pass_data;
  for (const uint32_t offset : pass_offsets_) pass_data.emplace_back(offset);
  const auto data_passes = data_->CreateVector(pass_data);
  const fb::BlockHeaderWords header(header_words_.first, header_words_.second);
  fb::ProgramDataRootBuilder data_root(*data_);
  data_root.add_passes(data_passes);
  if (learning_ != 0) data_root.add_learning(flatbuffers::Offset<fb::LearningData>(learning_));
  data_root.add_header_words(&header);
  data_->FinishSizePrefixed(data_root.Finish());

  const uint8_t* base = data_->GetBufferPointer();
  const auto* root = flatbuffers::GetSizePrefixedRoot<fb::ProgramDataRoot>(base);
  flatbuffers::FlatBufferBuilder& info = *info_;

  std::vector<flatbuffers::Offset<fb::PassInfo>> pass_infos;
  for (flatbuffers::uoffset_t i = 0; i < root->passes()->size(); ++i) {
    const fb::PassData* pass = root->passes()->Get(i);
    std::vector<flatbuffers::Offset<fb::NpProgramInfo>> programs;
    if (pass->programs())
      for (const auto* np_program : *pass->programs())
        programs.push_back(program_info(info, base, np_program));
    std::vector<fb::SkipStoreEntry> stores;
    std::vector<fb::SkipLoadEntry> loads;
    collect_skip_entries(i < passes.size() ? passes[i].get() : nullptr, stores, loads);
    const auto program_vector = info.CreateVector(programs);
    const auto store_vector = stores.empty() ? 0 : info.CreateVectorOfStructs(stores);
    const auto load_vector = loads.empty() ? 0 : info.CreateVectorOfStructs(loads);
    pass_infos.push_back(fb::CreatePassInfo(info, program_vector, store_vector, load_vector));
  }

  flatbuffers::Offset<fb::LearningInfo> learning_info;
  if (const fb::LearningData* learning = root->learning()) {
    const fb::WordLocation on = first_buffer_location(base, learning->learning_on());
    const fb::WordLocation off = first_buffer_location(base, learning->learning_off());
    flatbuffers::Offset<fb::NpProgramInfo> image;
    if (const fb::NpProgramData* data = learning->image()) {
      if (data->external()) {
        const fb::ExternalLocation external = external_location(base, data->external());
        image = fb::CreateNpProgramInfo(info, 0, &external);
      } else {
        const std::vector<fb::WordLocation> first{first_buffer_location(base, data)};
        image = fb::CreateNpProgramInfo(info, info.CreateVectorOfStructs(first));
      }
    }
    const fb::NpIdent3 ident = learning->ident() ? *learning->ident() : fb::NpIdent3();
    learning_info = fb::CreateLearningInfo(info, &on, &off, image, &ident);
  }

  const auto version = tables.engine_version.empty() ? 0 : info.CreateString(tables.engine_version);
  const auto input_dims =
      info.CreateVector(std::vector<uint32_t>(tables.input_dims.begin(), tables.input_dims.end()));
  const auto output_dims = info.CreateVector(
      std::vector<uint32_t>(tables.output_dims.begin(), tables.output_dims.end()));
  const auto thresholds = info.CreateVector(tables.output_thresholds);
  const auto scales = info.CreateVector(tables.output_scales);
  std::vector<fb::RegisterWrite> writes;
  for (const auto& [offset, value] : register_writes_) writes.emplace_back(offset, value);
  const auto register_writes = writes.empty() ? 0 : info.CreateVectorOfStructs(writes);
  const auto pass_vector = info.CreateVector(pass_infos);
  const auto quantizer_scales = info.CreateVector(tables.quantizer_scales);
  const auto zero_points = info.CreateVector(tables.quantizer_zero_points);
  const auto header_offset =
      static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(root->header_words()) - base);
  const fb::WordLocation header_location(header_offset, 2);

  fb::ProgramInfoRootBuilder info_root(info);
  if (!version.IsNull()) info_root.add_engine_version(version);
  if (hw_version_) info_root.add_hw_version(flatbuffers::Offset<fb::HwVersionInfo>(*hw_version_));
  info_root.add_input_dims(input_dims);
  info_root.add_output_dims(output_dims);
  info_root.add_input_code(tables.input_code);
  info_root.add_output_code(tables.output_code);
  info_root.add_output_bits(tables.output_bits);
  info_root.add_has_activation(tables.has_activation ? 1 : 0);
  info_root.add_conv_word1(tables.conv_word1);
  info_root.add_conv_word0(tables.conv_word0);
  info_root.add_output_thresholds(thresholds);
  info_root.add_output_scales(scales);
  info_root.add_descriptors(tables.descriptors);
  if (!register_writes.IsNull()) info_root.add_register_writes(register_writes);
  info_root.add_passes(pass_vector);
  if (!learning_info.IsNull()) info_root.add_learning(learning_info);
  info_root.add_header_words(&header_location);
  info_root.add_input_bits(tables.input_bits);
  info_root.add_input_signed(tables.input_signed ? 1 : 0);
  info_root.add_channels_first(tables.channels_first ? 1 : 0);
  info_root.add_quantizer_scales(quantizer_scales);
  info_root.add_quantizer_zero_points(zero_points);
  info_root.add_mote_post_processing(tables.mote_post_processing ? 1 : 0);
  info.FinishSizePrefixed(info_root.Finish());

  program.assign(info.GetBufferPointer(), info.GetBufferPointer() + info.GetSize());
  program.insert(program.end(), data_->GetBufferPointer(),
                 data_->GetBufferPointer() + data_->GetSize());
}

}  // namespace morla
