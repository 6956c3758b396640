#include "python/compound_param_names.h"

#include <algorithm>
#include <stdexcept>

namespace morla::python {

const std::map<std::string, std::vector<std::string>> compound_param_names = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

py::object layer_params_getattr(const LayerParams& params, const std::string& key) {
  const auto keys = params.keys();
  if (std::find(keys.begin(), keys.end(), key) != keys.end()) return py::int_(params.get(key));
  const auto compound = compound_param_names.find(key);
  if (compound == compound_param_names.end())
    throw std::invalid_argument("Key " + key + " not found");
  py::list values;
  for (const auto& component : compound->second) values.append(params.get(component));
  return values;
}

}  // namespace morla::python
