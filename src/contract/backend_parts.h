#pragma once
// The four objects one IP generation's back end is made of. Each back end offers a maker
// `BackendParts make_backend(device, description)`; the factory owns what it returns.
#include <memory>

#include "contract/compatibility_checker.h"
#include "contract/io_recorder.h"
#include "contract/layer_recorder.h"
#include "contract/memory_sizer.h"

namespace morla {

struct BackendParts {
  std::unique_ptr<CompatibilityChecker> checker;
  std::unique_ptr<MemorySizer> sizer;
  std::unique_ptr<IoRecorder> io_recorder;
  std::unique_ptr<LayerRecorder> layer_recorder;
};

}  // namespace morla
