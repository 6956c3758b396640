#include "engine_api/hardware_device.h"

namespace morla {

std::vector<uint32_t> HardwareDevice::learn_mem() {
  std::vector<uint32_t> words(learn_mem_size(), 0u);
  read_learn_mem(words.empty() ? nullptr : words.data());
  return words;
}

}  // namespace morla
