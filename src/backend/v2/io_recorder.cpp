#include "backend/v2/io_recorder.h"

#include <vector>

#include "engine_api/layer.h"
#include "core/hw_version.h"
#include "core/register_field.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kInputDmaBlock = 8;
// Output rows wider than this are not counted in the row-size field.
constexpr uint32_t kMaxRowField = 2048;

// The input-DMA words of record_input (written at offsets 4, 64, 68) and the output-DMA
// words of output_registers (offsets 0, 12, 16, 20, 24, 28); bits without a known meaning are
// named by their position.
constexpr BlockField kInputSource{0, 0, 2};
constexpr BlockField kInputWord0Bit3{0, 3, 1};
constexpr BlockField kInputWord0Bit4{0, 4, 1};
constexpr BlockField kInputWord0Bit8{0, 8, 1};
constexpr BlockField kOutputNarrow{0, 20, 1};
constexpr BlockField kInputWord0Bit25{0, 25, 1};
constexpr BlockField kInputChannels{1, 0, 18};
constexpr BlockField kOutputRowsSize{2, 0, 20};
constexpr BlockField kOutputRowSize{2, 20, 11};

constexpr BlockField kOutputSource{0, 0, 4};
constexpr BlockField kOutputWord0Bits8To11{0, 8, 4};
constexpr BlockField kOutputWord0Bit12{0, 12, 1};
constexpr BlockField kLastOnHrc{0, 16, 1};
constexpr BlockField kOutputWord0Bit17{0, 17, 1};
constexpr BlockField kOutputWord1Bits0To15{1, 0, 16};
constexpr BlockField kOutputWord2Bits0To3{2, 0, 4};
constexpr BlockField kFirstColumn{2, 16, 8};
constexpr BlockField kLastColumn{2, 24, 8};
constexpr BlockField kFixedValue{3, 8, 8};
constexpr BlockField kOutputWord4Bits0To7{4, 0, 8};
constexpr BlockField kOutputWord4Bits8To15{4, 8, 8};
constexpr BlockField kOutputWord4Bits16To23{4, 16, 8};
constexpr BlockField kFixedValue2{4, 24, 8};
constexpr BlockField kOutputWord5Bits0To22{5, 0, 23};
constexpr BlockField kOutputWord5Bit25{5, 25, 1};

void append_register(program::Record& record, uint16_t offset, uint32_t word) {
  record.append_np_program(hw::Ident{}, kInputDmaBlock, offset, {word}, true, true);
}

}  // namespace

program::RecordPtr IoRecorderImpl::record_input(bool input_on_hrc, bool /*input_code_zero*/,
                                                bool /*last_on_hrc*/, bool /*output_code_zero*/,
                                                bool output_narrow, const Shape& a,
                                                const Shape& b) const {
  auto record = std::make_unique<program::Record>(version_word(device_->version()));
  std::vector<uint32_t> w(3, 0);
  set_register_field(w, kInputSource, input_on_hrc ? 0 : 1);
  set_register_field(w, kInputWord0Bit3, 1);
  set_register_field(w, kInputWord0Bit4, 1);
  set_register_field(w, kInputWord0Bit8, 0);
  set_register_field(w, kOutputNarrow, output_narrow);
  set_register_field(w, kInputWord0Bit25, 0);
  set_register_field(w, kInputChannels, a[2]);
  if (!(b[0] == 1 && b[1] == 1)) {
    const uint32_t v = b[2];
    set_register_field(w, kOutputRowSize, v < kMaxRowField ? v : 0);
    set_register_field(w, kOutputRowsSize, v * b[1]);
  }
  append_register(*record, 4, w[0]);
  append_register(*record, 64, w[1]);
  append_register(*record, 68, w[2]);
  return record;
}

RegisterWrites IoRecorderImpl::output_registers(const std::shared_ptr<Layer>& layer,
                                                uint8_t first_column, uint8_t last_column,
                                                uint8_t fixed_value, bool last_on_hrc,
                                                bool /*multi_pass*/,
                                                bool /*input_code_zero*/) const {
  std::vector<uint32_t> w(6, 0);
  set_register_field(w, kOutputSource, layer->is_target_component(ComponentKind::FNP) ? 2 : 0);
  set_register_field(w, kOutputWord0Bits8To11, 2);
  set_register_field(w, kOutputWord0Bit17, 1);
  set_register_field(w, kOutputWord0Bit12, 1);
  set_register_field(w, kLastOnHrc, last_on_hrc);
  set_register_field(w, kOutputWord1Bits0To15, 16);
  set_register_field(w, kOutputWord2Bits0To3, 1);
  set_register_field(w, kFirstColumn, first_column);
  set_register_field(w, kLastColumn, last_column);
  set_register_field(w, kFixedValue, fixed_value);
  set_register_field(w, kOutputWord4Bits0To7, 1);
  set_register_field(w, kOutputWord4Bits8To15, 0);
  set_register_field(w, kOutputWord4Bits16To23, 254);
  set_register_field(w, kFixedValue2, fixed_value);
  set_register_field(w, kOutputWord5Bits0To22, 0x7FFFFF);
  set_register_field(w, kOutputWord5Bit25, 1);
  RegisterWrites writes;
  const uint32_t offsets[] = {0, 12, 16, 20, 24, 28};
  for (size_t i = 0; i < w.size(); ++i) writes.emplace_back(offsets[i], w[i]);
  return writes;
}

}  // namespace morla::v2
