#pragma once
// What the layer recorder hands to every v2 NP recorder besides the layer.
#include <memory>
#include <vector>

#include "engine_api/layer.h"
#include "core/hw_ident.h"

namespace morla::v2 {

struct RecorderFlags {
  // A layer whose mapping may hold the recorded NPs (its input format is then written).
  std::shared_ptr<Layer> companion;
  bool mark_np_flag = false;
  bool p2p_flag = false;
  // NPs not to record.
  std::vector<hw::Ident> skip_idents;
  bool registers_only = false;
  bool input_format_flag = false;
};

}  // namespace morla::v2
