#pragma once
// The stages after a layer's sums (bias, ReLU, look-up, output scale) planned once from
// their tensors and run as one pass: scale_out is its last stage alone.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_api/tensor.h"
#include "ops/shift_plan.h"

namespace morla::ops {

// scale_out's scales for `channels` channels, after its checks and with its messages:
// out_bits at least 1, scales uint8 (or uint16 with out_bits 16), shifts in int8 storage
// (uint8 shifts are refused here, "Wrong requested type ..."); what reads the shifts next
// checks their values and refuses the other int8-stored types (int4, int2, bit).
std::vector<int64_t> scale_out_factors(const char* op, const Dense& scales, const Dense& shifts,
                                       size_t channels, int32_t out_bits);
// The scale_out stage: those checks, then int8 shifts alone, under the round rule, each tried;
// an accumulator within 32 bits (acc_bits 1..32).
ScaleStage scale_out_stage(const char* op, const Dense& scales, const Dense& shifts,
                           size_t channels, int32_t out_bits, uint8_t acc_bits);
// scale_out's result type (uint8 below 5 bits, int8 up to 8, int16 at 16, else int32) and
// the range it clips to (within int32).
TensorType scale_out_type(int32_t out_bits);
ClipRange scale_out_bounds(int32_t out_bits);

// The stages over int32 `sums` into `out`, which has as many elements and the type the
// stages give (scale_out_type of the output scale, int32 without it). The last dimension
// of `sums` is the channel count the stages were planned for.
void run_neurons(const Dense& sums, const NeuronStages& stages, Dense& out);

// lshift (saturating left shifts by uint8 shifts, clip to `bits`) of an integer tensor of
// any 8-, 16- or 32-bit storage into int32 `out` of as many elements, in one pass; the
// channels are the last dimension of `out`.
void lshift_into(const Dense& inputs, const Dense& shifts, int32_t bits, Dense& out);
// The same with the shifts already planned (checked_shift_stage of shift_plan.h): element e
// of `out` takes the stage's channel e mod its channel count.
void lshift_into(const Dense& inputs, const ShiftStage& stage, Dense& out);

}  // namespace morla::ops
