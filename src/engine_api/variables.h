#pragma once
// A layer's named store of variables (weights, thresholds, ...).
#include <memory>
#include <string>
#include <vector>

#include "engine_api/tensor.h"

namespace morla {

class Variables {
 public:
  virtual ~Variables() = default;
  virtual std::vector<std::string> names() const = 0;
  virtual void set(const std::string& name, std::shared_ptr<Dense> value) = 0;
  virtual std::shared_ptr<Dense> get(const std::string& name) const = 0;
  virtual bool has(const std::string& name) const = 0;

 protected:
  Variables() = default;
  Variables(const Variables&) = default;
  Variables& operator=(const Variables&) { return *this; }
};

}  // namespace morla
