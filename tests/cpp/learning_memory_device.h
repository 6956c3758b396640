#pragma once
// A hardware device that holds only a learning memory, for the learned-value read-back.
#include <algorithm>
#include <vector>

#include "engine_api/hardware_device.h"
#include "v1_test_support.h"

namespace morla::v1_test {

// A device whose learning memory holds the given words.
class LearningMemoryDevice final : public HardwareDevice {
 public:
  explicit LearningMemoryDevice(std::vector<uint32_t> memory) : memory_(std::move(memory)) {}
  size_t learn_mem_size() const override { return memory_.size(); }
  void read_learn_mem(uint32_t* out) override { std::copy(memory_.begin(), memory_.end(), out); }

  HwVersion version() const override { return v1_version(); }
  const char* desc() const override { return "learning memory"; }
  void set_clock_counter_enabled(bool) override {}
  uint32_t clock_counter() override { return 0; }
  uint32_t program_clock_count() override { return 0; }
  DeviceMemory memory() override { return {}; }
  void reset_top_memory() override {}
  ByteRange program() const override { return {}; }
  void set_program(const uint8_t*, size_t) override {}
  void program_external(const uint8_t*, size_t, uint32_t) override {}
  void read_np_info(uint32_t*, const hw::Ident*, size_t) override {}
  void set_batch_size(size_t, bool) override {}
  void set_learn_enabled(bool) override {}
  bool learn_enabled() const override { return true; }
  void update_learn_mem(const uint32_t*) override {}
  void unprogram() override {}
  TensorResults fit(const TensorList&, const std::vector<int32_t>&) override { return {}; }
  TensorResults forward(const TensorList&) override { return {}; }
  TensorResults predict(const TensorList&) override { return {}; }
  HardwareDriver* driver() const override { return nullptr; }

 private:
  std::vector<uint32_t> memory_;
};

}  // namespace morla::v1_test
