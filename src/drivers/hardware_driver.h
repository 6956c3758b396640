#pragma once
// The interface through which the engine reaches a board: a flat 32-bit address
// space read and written in blocks of bytes.
#include <cstddef>
#include <cstdint>

namespace morla {

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
};

class HardwareDriver : public BlockDevice {
 public:
  virtual void read(uint32_t address, void* buffer, size_t length) = 0;
  virtual void write(uint32_t address, const void* buffer, size_t length) = 0;
  virtual const char* desc() const = 0;
  virtual uint32_t memory_base() const = 0;
  virtual size_t memory_size() const = 0;
  virtual uint32_t registers_base() const = 0;
  // Two engine operations the module never calls; every host driver answers 0.
  virtual uint32_t engine_reserved_a() const = 0;
  virtual uint32_t engine_reserved_b() const = 0;
};

// One 32-bit register word, through the driver's own read and write.
uint32_t read_register(HardwareDriver& driver, uint32_t address);
void write_register(HardwareDriver& driver, uint32_t address, uint32_t value);

}  // namespace morla
