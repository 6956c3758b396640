#pragma once
// The engine's interface of a device found on a driver.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/byte_range.h"
#include "engine_api/tensor.h"
#include "core/hw_version.h"

namespace morla {

class HardwareDriver;
namespace hw {
struct Ident;
}

// Device memory in bytes: in use and its highest use.
struct DeviceMemory {
  uint32_t used = 0;
  uint32_t top = 0;
};

using TensorList = std::vector<std::shared_ptr<const Tensor>>;
using TensorResults = std::vector<std::shared_ptr<Tensor>>;

class HardwareDevice {
 public:
  virtual HwVersion version() const = 0;
  virtual const char* desc() const = 0;
  virtual void set_clock_counter_enabled(bool enabled) = 0;
  virtual uint32_t clock_counter() = 0;
  virtual uint32_t program_clock_count() = 0;
  virtual DeviceMemory memory() = 0;
  virtual void reset_top_memory() = 0;
  // The current program; data is null when unprogrammed.
  virtual ByteRange program() const = 0;
  // Programs the device; the bytes must stay alive while the device is programmed.
  virtual void set_program(const uint8_t* data, size_t size) = 0;
  virtual void program_external(const uint8_t* data, size_t size, uint32_t address) = 0;
  // One 32-bit information word per NP ident.
  virtual void read_np_info(uint32_t* out, const hw::Ident* idents, size_t count) = 0;
  virtual void set_batch_size(size_t count, bool flag) = 0;
  virtual void set_learn_enabled(bool enabled) = 0;
  virtual bool learn_enabled() const = 0;
  virtual size_t learn_mem_size() const = 0;  // in 32-bit words
  virtual void read_learn_mem(uint32_t* out) = 0;
  virtual void update_learn_mem(const uint32_t* words) = 0;
  virtual void unprogram() = 0;
  virtual TensorResults fit(const TensorList& inputs, const std::vector<int32_t>& labels) = 0;
  virtual TensorResults forward(const TensorList& inputs) = 0;
  virtual TensorResults predict(const TensorList& inputs) = 0;
  virtual HardwareDriver* driver() const = 0;

  // learn_mem_size zero words filled by read_learn_mem.
  std::vector<uint32_t> learn_mem();

  // Engine factory on a driver.
  static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

 protected:
  HardwareDevice() = default;
  HardwareDevice(const HardwareDevice&) = default;
  HardwareDevice& operator=(const HardwareDevice&) { return *this; }
  // Owned through std::shared_ptr by the engine; not deleted through this base.
  ~HardwareDevice() = default;
};

// Reads the hardware version of the device behind a driver (engine).
HwVersion read_hw_version(const HardwareDriver& driver);

}  // namespace morla
