#include "engine_api/variables_impl.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace morla {

namespace {

std::string dims_text(const Shape& shape) {
  std::string text = "( ";
  for (uint32_t d : shape) text += std::to_string(d) + " ";
  return text + ")";
}

[[noreturn]] void no_such_variable(const std::string& name) {
  throw std::invalid_argument("No such variable '" + name + "'.");
}

}  // namespace

std::vector<std::string> VariablesImpl::names() const {
  std::vector<std::string> out;
  out.reserve(variables_.size());
  for (const auto& entry : variables_) out.push_back(entry.first);
  return out;
}

bool VariablesImpl::has(const std::string& name) const { return variables_.count(name) != 0; }

std::shared_ptr<Dense> VariablesImpl::get(const std::string& name) const {
  auto found = find_variable(name);
  if (!found) no_such_variable(name);
  return found;
}

std::shared_ptr<Dense> VariablesImpl::find_variable(const std::string& name) const {
  const auto it = variables_.find(name);
  return it == variables_.end() ? nullptr : it->second;
}

std::shared_ptr<Dense> VariablesImpl::create(const std::string& name, TensorType type,
                                             const Shape& shape, Dense::Layout layout) {
  if (byte_limit_) {
    uint64_t bytes = storage_size(type);  // saturates instead of wrapping
    for (const uint32_t d : shape) bytes = d && bytes > UINT64_MAX / d ? UINT64_MAX : bytes * d;
    if (bytes > *byte_limit_)
      throw VariableLimitExceeded("Variable '" + name + "' needs " + std::to_string(bytes) +
                                  " bytes, " + std::to_string(*byte_limit_) + " are left.");
    *byte_limit_ -= bytes;
  }
  std::shared_ptr<Dense> dense =
      make_tensor ? make_tensor(type, shape, layout) : Dense::create(type, shape, layout);
  variables_[name] = dense;
  return dense;
}

void VariablesImpl::keep_matching(const std::map<std::string, std::shared_ptr<Dense>>& earlier) {
  for (const auto& [name, old] : earlier) {
    const auto it = variables_.find(name);
    if (it == variables_.end() || it->second == old) continue;
    const Dense& now = *it->second;
    if (now.type() == old->type() && now.shape() == old->shape() && now.layout() == old->layout())
      it->second = old;
  }
}

void VariablesImpl::set(const std::string& name, std::shared_ptr<Dense> value) {
  store(name, std::move(value), false);
}

void VariablesImpl::adopt(const std::string& name, std::shared_ptr<Dense> value) {
  store(name, std::move(value), true);
}

void VariablesImpl::store(const std::string& name, std::shared_ptr<Dense> value, bool keep) {
  if (!retired_reason_.empty()) throw std::runtime_error(retired_reason_);
  const auto stored = find_variable(name);
  if (!stored) no_such_variable(name);
  if (!value) throw std::invalid_argument("Cannot set variable '" + name + "' to no tensor.");

  const Shape value_shape = value->shape();
  std::vector<uint32_t> dims(value_shape.begin(), value_shape.end());
  if (value->layout() != stored->layout()) std::reverse(dims.begin(), dims.end());
  const Shape new_shape(dims);
  if (new_shape != stored->shape())
    throw std::invalid_argument("Unexpected tensor shape: " + dims_text(new_shape) +
                                " instead of " + dims_text(stored->shape()));
  if (value->type() != stored->type())
    throw std::invalid_argument("Unexpected tensor type for variable '" + name +
                                "': " + Tensor::type_name(value->type()) + " instead of " +
                                Tensor::type_name(stored->type()));
  const size_t bytes = stored->buffer().size();
  if (value->buffer().size() != bytes)
    throw std::invalid_argument("Unexpected tensor size for variable '" + name +
                                "': " + std::to_string(value->buffer().size()) +
                                " bytes instead of " + std::to_string(bytes));

  // The callback sees the new values in the stored tensor's form (a value in another layout
  // is shown through a copy); they are committed only once it accepts them.
  if (on_change) {
    if (value->layout() == stored->layout()) {
      on_change(name, value);
    } else {
      on_change(name, std::shared_ptr<Dense>(
                          Dense::copy(static_cast<const char*>(value->buffer().data()), bytes,
                                      stored->type(), stored->shape(), stored->layout())));
    }
  }
  if (keep && value->layout() == stored->layout()) {
    variables_[name] = std::move(value);
    return;
  }
  if (bytes != 0 && value != stored)
    std::memcpy(stored->buffer().mutable_data(), value->buffer().data(), bytes);
}

}  // namespace morla
