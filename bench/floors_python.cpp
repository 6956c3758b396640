// The floor of a call to the module from Python, built with bench/floors.cpp into one
// extension module (bench/rounds.py: Floors), so that it pays what a binding pays to be
// called: a pybind11 function taking the call's arguments and returning a new NumPy array.
//   bound(inputs, result): a callable for the arguments of one call. Called with them, it
//   copies each array among them into memory kept from call to call (the engine's copy),
//   reads each copy once (read_pass), and returns a new array holding the bytes of `result`,
//   made as the bindings make theirs (NumPy allocates and copies: tensor_conversion.cpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "floors.h"

namespace py = pybind11;

namespace {

struct Floor {
  std::vector<std::vector<char>> rooms;
  std::vector<char*> copies;
  std::vector<size_t> sizes;
  py::array result;
};

py::array contiguous(py::handle a) {
  py::array array = py::array::ensure(a, py::array::c_style);
  if (!array) throw py::error_already_set();
  return array;
}

py::cpp_function bound_call(const py::list& inputs, const py::array& result) {
  auto floor = std::make_shared<Floor>();
  floor->rooms.resize(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const py::array a = contiguous(inputs[i]);
    const auto bytes = static_cast<size_t>(a.nbytes());
    floor->copies.push_back(at_offset_of(a.data(), bytes, floor->rooms[i]));
    floor->sizes.push_back(bytes);
  }
  floor->result = contiguous(result);
  return py::cpp_function([floor](const py::args& args) {
    uint64_t seen = 0;
    size_t k = 0;
    for (const py::handle a : args) {
      if (!py::isinstance<py::array>(a)) continue;
      const auto array = py::reinterpret_borrow<py::array>(a);
      if (k == floor->sizes.size() || static_cast<size_t>(array.nbytes()) != floor->sizes[k] ||
          !(array.flags() & py::array::c_style))
        throw std::invalid_argument("bound: not the arrays the floor was made for");
      std::memcpy(floor->copies[k], array.data(), floor->sizes[k]);
      seen |= read_pass(reinterpret_cast<const uint64_t*>(floor->copies[k]), floor->sizes[k] / 8);
      ++k;
    }
    asm volatile("" : : "r"(seen));
    const py::array& r = floor->result;
    std::vector<py::ssize_t> shape(r.shape(), r.shape() + r.ndim());
    std::vector<py::ssize_t> strides(r.strides(), r.strides() + r.ndim());
    // Without a base object NumPy copies the memory into a new array.
    py::array out(r.dtype(), std::move(shape), std::move(strides), r.data());
    if (!out) throw py::error_already_set();
    return out;
  });
}

}  // namespace

PYBIND11_MODULE(floors_python, m) {
  m.def("bound", &bound_call, py::arg("inputs"), py::arg("result"));
}
