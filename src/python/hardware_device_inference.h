#pragma once
// fit, forward and predict of HardwareDevice.
#include <pybind11/pybind11.h>

#include <memory>

#include "python/py_hardware_device.h"

namespace morla::python {

namespace py = pybind11;

using HardwareDeviceClass = py::class_<PyHardwareDevice, Device, std::shared_ptr<PyHardwareDevice>>;

// Registers the three fit overloads, forward and predict, in this order.
void add_device_inference_members(HardwareDeviceClass& cls);

}  // namespace morla::python
