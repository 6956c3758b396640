#include "backend/v1/register_block.h"

#include "backend/v1/np_fields.h"

namespace morla::v1 {

RegisterBlock init_np_registers() {
  RegisterBlock block(kNpRegisterWords, 0);
  set_register_field(block, reg::kWord6Bits16To20, 4);
  set_register_field(block, reg::kWord6Bits24To28, 4);
  set_register_field(block, reg::kWeightChunk, 82);
  set_register_field(block, reg::kWord13Bits0To15, 16);
  set_register_field(block, reg::kWord37Bits24To31, 255);
  return block;
}

}  // namespace morla::v1
