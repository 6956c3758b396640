#pragma once
// The variable store of a layer: named dense tensors, each kept for the store's lifetime.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_api/variables.h"

namespace morla {

// A variable that needs more bytes than the store may still allocate.
class VariableLimitExceeded : public std::length_error {
 public:
  using std::length_error::length_error;
};

class VariablesImpl : public Variables {
 public:
  // Called with a variable's name and its proposed new value before the value is stored;
  // throwing refuses the value and leaves the variable unchanged.
  using ChangeCallback = std::function<void(const std::string&, const std::shared_ptr<Dense>&)>;

  VariablesImpl() = default;
  VariablesImpl(const VariablesImpl&) = delete;
  VariablesImpl& operator=(const VariablesImpl&) = delete;

  std::vector<std::string> names() const override;
  // Copies the value's bytes into the stored tensor; the value is not kept. Refuses
  // (std::invalid_argument) an unknown name, a different shape (dimensions reversed when the
  // layouts differ), element type or byte size, and whatever the change callback refuses.
  void set(const std::string& name, std::shared_ptr<Dense> value) override;
  // Makes the same checks as set(), then keeps `value` itself as the variable (its bytes are
  // not copied): the caller gives the tensor up. A value in another layout is copied.
  void adopt(const std::string& name, std::shared_ptr<Dense> value);
  // Throws std::invalid_argument for an unknown name.
  std::shared_ptr<Dense> get(const std::string& name) const override;
  bool has(const std::string& name) const override;

  // Null when absent.
  std::shared_ptr<Dense> find_variable(const std::string& name) const;
  // Makes (or replaces) a variable and returns it: zero-filled, or made by make_tensor when
  // that is set.
  std::shared_ptr<Dense> create(const std::string& name, TensorType type, const Shape& shape,
                                Dense::Layout layout);
  // Makes the tensors of create() instead of Dense::create: a store whose every variable is
  // about to be overwritten whole (a layer built from a model buffer) skips the zero fill.
  using TensorMaker =
      std::function<std::shared_ptr<Dense>(TensorType, const Shape&, Dense::Layout)>;
  TensorMaker make_tensor;

  // Caps the bytes that create() may still allocate (none: no cap). Past the cap, create()
  // throws VariableLimitExceeded before allocating.
  void limit_bytes(std::optional<uint64_t> bytes) { byte_limit_ = bytes; }
  std::optional<uint64_t> byte_limit() const { return byte_limit_; }

  // The tensors themselves, by name, and a way back to them.
  std::map<std::string, std::shared_ptr<Dense>> tensors() const { return variables_; }
  void restore(std::map<std::string, std::shared_ptr<Dense>> tensors) {
    variables_ = std::move(tensors);
  }
  // Puts back each earlier tensor whose name, type, shape and layout are still those of a
  // variable of the store, so that rebuilding a layer keeps its values (and the tensors
  // handed out before).
  void keep_matching(const std::map<std::string, std::shared_ptr<Dense>>& earlier);

  // After retire(), set() refuses every value with std::runtime_error(reason).
  void retire(std::string reason) { retired_reason_ = std::move(reason); }

  ChangeCallback on_change;

 private:
  // Checks `value` against the stored variable, then either keeps it or copies its bytes.
  void store(const std::string& name, std::shared_ptr<Dense> value, bool keep);

  std::map<std::string, std::shared_ptr<Dense>> variables_;
  std::optional<uint64_t> byte_limit_;
  std::string retired_reason_;
};

}  // namespace morla
