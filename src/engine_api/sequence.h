#pragma once
// A mapped run of a model: passes of layers and the device program that runs them.
#include <memory>
#include <string>
#include <vector>

#include "core/byte_range.h"
#include "engine_api/hardware_device.h"
#include "core/enums.h"

namespace morla {

class Layer;

class Sequence {
 public:
  struct Pass {
    virtual ~Pass() = default;
    std::vector<std::shared_ptr<Layer>> layers;
  };
  struct ProgramParts {
    ByteRange program_info;
    ByteRange program_data;
  };

  virtual ~Sequence() = default;
  virtual const std::vector<std::shared_ptr<Pass>>& passes() const = 0;
  virtual BackendType backend() const = 0;
  virtual ByteRange program() const = 0;
  virtual ProgramParts program_parts() const = 0;
  virtual std::string name() const = 0;

 protected:
  Sequence() = default;
  Sequence(const Sequence&) = default;
  Sequence& operator=(const Sequence&) { return *this; }
};

// "<prefix>/<first>" for one layer, "<prefix>/<first>-<last>" for more ("<prefix>/" for none).
std::string sequence_name(const std::string& prefix,
                          const std::vector<std::shared_ptr<Layer>>& layers);

class ForwardableSequence : public Sequence {
 public:
  // labels is null for inference.
  virtual TensorResults forward(const TensorList& inputs, const Tensor* labels) = 0;
};

}  // namespace morla
