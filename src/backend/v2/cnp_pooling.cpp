#include "backend/v2/cnp_pooling.h"

#include "backend/v2/built_records.h"
#include "backend/v2/layer_param.h"
#include "core/enums.h"

namespace morla::v2 {

uint32_t no_pooling_geometry(CnpPooling& pooling, uint32_t width, uint32_t height) {
  pooling = CnpPooling{};
  pooling.width = width;
  pooling.height = height;
  return 1;
}

CnpPooling read_cnp_pooling(const Layer& layer) {
  const uint32_t* conv = conv_record(layer);
  const uint32_t* pool = pool_record(layer);
  const int size = param(layer, "pool_size");
  CnpPooling pooling;
  pooling.stride_x = pool[0] & 0xFF;
  pooling.stride_y = (pool[0] >> 8) & 0xFF;
  pooling.width = pool[1];
  pooling.height = pool[2];
  for (int i = 0; i < 4; ++i) pooling.pads[i] = static_cast<int32_t>(pool[3 + i]);
  pooling.flag = pool[7] & 0xFF;
  switch (static_cast<PoolType>(param(layer, "pool_type"))) {
    case PoolType::NoPooling: pooling.size = no_pooling_geometry(pooling, conv[2], conv[3]); break;
    case PoolType::Average:
      pooling.size = size == -1 ? 1 : (static_cast<uint32_t>(size) & 0xFF);
      break;
    default: pooling.size = static_cast<uint32_t>(size); break;
  }
  return pooling;
}

}  // namespace morla::v2
