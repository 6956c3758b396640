#include "backend/v2/io_recorder.h"

#include <vector>

#include "backend/v2/np_registers.h"
#include "backend/v2/record_key.h"
#include "core/engine_api/layer.h"

namespace morla::v2 {

namespace {

constexpr uint32_t kInputDmaBlock = 8;
// Output rows wider than this are not counted in the row-size field.
constexpr uint32_t kMaxRowField = 2048;

void append_register(program::Record& record, uint16_t offset, uint32_t word) {
  record.append_np_program(hw::Ident{}, kInputDmaBlock, offset, {word}, true, true);
}

}  // namespace

program::RecordPtr IoRecorderImpl::record_input(bool input_on_hrc, bool /*input_code_zero*/,
                                                bool /*last_on_hrc*/, bool /*output_code_zero*/,
                                                bool output_narrow, const Shape& a,
                                                const Shape& b) const {
  auto record = std::make_unique<program::Record>(record_key(*device_));
  std::vector<uint32_t> w(3, 0);
  set_bits(w, 0, 0, 1, input_on_hrc ? 0 : 1);
  set_bits(w, 0, 3, 3, 1);
  set_bits(w, 0, 4, 4, 1);
  set_bits(w, 0, 8, 8, 0);
  set_bits(w, 0, 20, 20, output_narrow);
  set_bits(w, 0, 25, 25, 0);
  set_bits(w, 1, 0, 17, a[2]);
  if (!(b[0] == 1 && b[1] == 1)) {
    const uint32_t v = b[2];
    set_bits(w, 2, 20, 30, v < kMaxRowField ? v : 0);
    set_bits(w, 2, 0, 19, v * b[1]);
  }
  append_register(*record, 4, w[0]);
  append_register(*record, 64, w[1]);
  append_register(*record, 68, w[2]);
  return record;
}

RegisterWrites IoRecorderImpl::output_registers(const std::shared_ptr<Layer>& layer,
                                                uint8_t first_column, uint8_t last_column,
                                                uint8_t fixed_value, bool last_on_hrc,
                                                bool /*multi_pass*/, bool /*input_code_zero*/) const {
  std::vector<uint32_t> w(6, 0);
  set_bits(w, 0, 0, 3, layer->is_target_component(ComponentKind::FNP) ? 2 : 0);
  set_bits(w, 0, 8, 11, 2);
  set_bits(w, 0, 17, 17, 1);
  set_bits(w, 0, 12, 12, 1);
  set_bits(w, 0, 16, 16, last_on_hrc);
  set_bits(w, 1, 0, 15, 16);
  set_bits(w, 2, 0, 3, 1);
  set_bits(w, 2, 16, 23, first_column);
  set_bits(w, 2, 24, 31, last_column);
  set_bits(w, 3, 8, 15, fixed_value);
  set_bits(w, 4, 0, 7, 1);
  set_bits(w, 4, 8, 15, 0);
  set_bits(w, 4, 16, 23, 254);
  set_bits(w, 4, 24, 31, fixed_value);
  set_bits(w, 5, 0, 22, 0x7FFFFF);
  set_bits(w, 5, 25, 25, 1);
  RegisterWrites writes;
  const uint32_t offsets[] = {0, 12, 16, 20, 24, 28};
  for (size_t i = 0; i < w.size(); ++i) writes.emplace_back(offsets[i], w[i]);
  return writes;
}

}  // namespace morla::v2
