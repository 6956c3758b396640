#include "engine_api/tensor.h"

#include <cstring>

#include "core/platform.h"

namespace morla {

const char* Tensor::type_name(TensorType type) {
  static const char* const names[] = {"int32", "float32", "uint8", "int16", "int8",  "int4",
                                      "int2",  "uint4",   "uint2", "bit",   "uint16"};
  const auto i = static_cast<int32_t>(type);
  return (i >= 0 && i <= 10) ? names[i] : "unknown";
}

template <typename T>
void check_tensor_type(const Tensor& tensor) {
  if (storage_type(tensor.type()) != storage_of<T>())
    panic("Wrong requested type %s for a tensor of type %s", storage_type_name(storage_of<T>()),
          Tensor::type_name(tensor.type()));
}
template void check_tensor_type<int8_t>(const Tensor&);
template void check_tensor_type<uint8_t>(const Tensor&);
template void check_tensor_type<int16_t>(const Tensor&);
template void check_tensor_type<uint16_t>(const Tensor&);
template void check_tensor_type<int32_t>(const Tensor&);
template void check_tensor_type<float>(const Tensor&);

void check_tensor_index(const Tensor& tensor, size_t index) {
  const size_t n = tensor.size();
  if (index >= n) panic("Tensor index %zu out of range for a tensor of %zu elements", index, n);
}

bool Dense::operator==(const Dense& other) const {
  if (type() != other.type()) return false;
  if (layout() != other.layout()) return false;
  if (shape() != other.shape()) return false;
  if (size() != other.size()) return false;
  const auto& a = buffer();
  const auto& b = other.buffer();
  const size_t n = a.size();
  if (b.size() < n) return false;  // never read past the shorter buffer
  return n == 0 || std::memcmp(a.data(), b.data(), n) == 0;
}

}  // namespace morla
