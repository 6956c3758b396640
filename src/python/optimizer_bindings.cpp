// Optimizer and MorlaUnsupervised.
#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <string>

#include "engine_api/layer_params.h"
#include "core/enums.h"
#include "python/registration.h"

namespace morla::python {

namespace {

constexpr const char* kGetDoc = R"(
        Retrieve a value from the LearningParams object.

        Args:
            key (str): key of the value.
        Returns:
            float: value associated to the key.
        Raises:
            ValueError: if the value is not present in the LearningParams object.
    )";

constexpr const char* kMorlaUnsupervisedDoc = R"(
   Prepare the Morla Unsupervised optimizer for learning of the last layer.

   Args:
       num_weights (int): number of connections for each neuron.
       num_classes (int, optional): number of classes when running in a 'labeled mode'.
           Defaults to 1.
       initial_plasticity (float, optional): defines how easily the weights will change when
           learning occurs. Defaults to 1.
       learning_competition (float, optional): controls competition between neurons.
           Defaults to 0.
       min_plasticity (float, optional): defines the minimum level to which plasticity will
           decay. Defaults to 0.1.
       plasticity_decay (float, optional): defines the decay of plasticity with each learning
           step. Defaults to 0.25.

   Returns:
       :obj:`Optimizer`: the unsupervised learning parameters.
   )";

std::shared_ptr<LearningParams> morla_unsupervised(uint32_t num_weights, uint32_t num_classes,
                                                   double initial_plasticity,
                                                   double learning_competition,
                                                   double min_plasticity, double plasticity_decay) {
  const std::map<std::string, double> entries = {{"num_weights", static_cast<double>(num_weights)},
                                                 {"num_classes", static_cast<double>(num_classes)},
                                                 {"initial_plasticity", initial_plasticity},
                                                 {"learning_competition", learning_competition},
                                                 {"min_plasticity", min_plasticity},
                                                 {"plasticity_decay", plasticity_decay}};
  return LearningParams::create(LearningType::MorlaUnsupervised, entries);
}

}  // namespace

void init_optimizer_bindings(py::module_& m) {
  py::class_<LearningParams, std::shared_ptr<LearningParams>>(m, "Optimizer",
                                                              "Optimizer generic parameters")
      .def("get", &LearningParams::get, py::arg("key"), kGetDoc)
      .def("__copy__", [](const LearningParams& self) { return LearningParams::clone(&self); })
      .def("__getattr__", &LearningParams::get, py::arg("key"))
      .def("__dir__", &LearningParams::keys)
      // No Python type stands for the learning kinds: the engine's value as an int.
      .def_property_readonly("learning_type", [](const LearningParams& self) {
        return static_cast<int32_t>(self.learning_type());
      });

  namespace d = unsupervised_defaults;
  m.def("MorlaUnsupervised", &morla_unsupervised, py::arg("num_weights"),
        py::arg("num_classes") = d::num_classes,
        py::arg("initial_plasticity") = d::initial_plasticity,
        py::arg("learning_competition") = d::learning_competition,
        py::arg("min_plasticity") = d::min_plasticity,
        py::arg("plasticity_decay") = d::plasticity_decay, kMorlaUnsupervisedDoc);
}

}  // namespace morla::python
