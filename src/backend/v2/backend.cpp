#include "backend/v2/backend.h"

#include "backend/v2/compatibility_checker.h"
#include "backend/v2/io_recorder.h"
#include "backend/v2/layer_recorder.h"
#include "backend/v2/memory_sizer.h"

namespace morla::v2 {

BackendParts make_backend(const std::shared_ptr<Device>& device,
                          const HardwareDescription* description) {
  BackendParts parts;
  parts.checker = std::make_unique<CompatibilityCheckerImpl>(device, *description);
  parts.sizer = std::make_unique<MemorySizerImpl>();
  parts.io_recorder = std::make_unique<IoRecorderImpl>(device);
  parts.layer_recorder = std::make_unique<LayerRecorderImpl>(device, *description);
  return parts;
}

}  // namespace morla::v2
