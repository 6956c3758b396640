// The hooks of a Python subclass of MapConstraints, called from native code the way a
// mapping calls them, through an interpreter embedded in the test process.
#ifdef MORLA_TEST_EMBEDDED_PYTHON
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mapping/map_constraints.h"

namespace morla {
namespace {

namespace py = pybind11;

constexpr const char* kSubclasses = R"(
import morla.core as core
NP = core.NP
calls = []

class Watch(core.MapConstraints):
    def next_layer_handler(self, layer_name):
        calls.append(layer_name)

    def select_nps(self, source_nps, num_nps, type):
        calls.append((len(source_nps), num_nps, type))
        return list(reversed(source_nps))[:num_nps]

class Boom(core.MapConstraints):
    def next_layer_handler(self, layer_name):
        raise KeyError(layer_name)

    def select_nps(self, source_nps, num_nps, type):
        return 5

def make(cls):
    mesh = NP.Mesh(core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
    return cls(core.Device(core.HwVersion(1, 0xA2, 1, 0), mesh))
)";

class PythonHooks : public testing::Test {
 protected:
  // One interpreter for the whole process: the extension module cannot be loaded twice.
  static void SetUpTestSuite() {
    if (Py_IsInitialized()) return;
    py::initialize_interpreter();
    // The module under test first, then the packages of the build's Python environment.
    py::module_::import("sys").attr("path").attr("__setitem__")(
        py::slice(0, 0, 1), py::str(MORLA_TEST_PYTHON_PATH).attr("split")(":"));
    static py::dict* globals = new py::dict();  // kept for the life of the interpreter
    py::exec(kSubclasses, *globals);
    scope_ = globals;
  }

  void SetUp() override { (*scope_)["calls"].attr("clear")(); }

  py::object eval(const char* expr) { return py::eval(expr, *scope_); }
  py::list calls() { return (*scope_)["calls"]; }

  std::shared_ptr<MapConstraints> native(const char* cls, py::object* keep = nullptr) {
    py::object obj = eval(("make(" + std::string(cls) + ")").c_str());
    if (keep) *keep = obj;
    return obj.cast<std::shared_ptr<MapConstraints>>();
  }

  static inline py::dict* scope_ = nullptr;
  const std::vector<hw::Ident> five_{
      {1, 1, 0, 0}, {2, 1, 0, 0}, {3, 1, 0, 0}, {4, 1, 0, 0}, {5, 1, 0, 0}};
};

TEST_F(PythonHooks, RunsTheModuleOfThisBuild) {
  const auto file = eval("core.__file__").cast<std::string>();
  EXPECT_EQ(file.rfind(MORLA_BINARY_DIR "/python/", 0), 0u) << file;
}

TEST_F(PythonHooks, NativeCallsReachTheOverrides) {
  py::object keep;
  auto mc = native("Watch", &keep);
  mc->next_layer_handler("conv_1");
  const auto selected = mc->select_nps(five_, 2, hw::Type::CNP2);
  EXPECT_EQ(selected, (std::vector<hw::Ident>{five_[4], five_[3]}));
  py::list seen = calls();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].cast<std::string>(), "conv_1");
  const py::tuple args = seen[1];
  EXPECT_EQ(args[0].cast<int>(), 5);
  EXPECT_EQ(args[1].cast<int>(), 2);
  EXPECT_TRUE(py::object(args[2]).equal(eval("NP.Type.CNP2")));
}

TEST_F(PythonHooks, DroppedPythonObjectFallsBackToDefaults) {
  py::object obj;
  auto mc = native("Watch", &obj);
  py::object alive = py::module_::import("weakref").attr("ref")(obj);
  obj = py::object();
  py::module_::import("gc").attr("collect")();
  ASSERT_TRUE(alive().is_none());  // the Python object is gone, the native one is not

  mc->next_layer_handler("after");
  EXPECT_EQ(mc->select_nps(five_, 2, hw::Type::CNP1), (std::vector<hw::Ident>{five_[0], five_[1]}));
  EXPECT_EQ(calls().size(), 0u);
  EXPECT_EQ(mc->cnp_max_width_default(), 64u);
}

TEST_F(PythonHooks, OverridesTakeTheGilOnAnotherThread) {
  py::object keep;
  auto mc = native("Watch", &keep);
  std::vector<hw::Ident> selected;
  {
    py::gil_scoped_release release;
    std::thread mapper([&] {
      mc->next_layer_handler("threaded");
      selected = mc->select_nps(five_, 1, hw::Type::FNP3);
    });
    mapper.join();
  }
  EXPECT_EQ(selected, std::vector<hw::Ident>{five_[4]});
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0].cast<std::string>(), "threaded");
}

TEST_F(PythonHooks, PythonErrorsReachTheNativeCaller) {
  py::object keep;
  auto mc = native("Boom", &keep);
  try {
    mc->next_layer_handler("x");
    FAIL() << "no error";
  } catch (py::error_already_set& e) {
    EXPECT_TRUE(e.matches(PyExc_KeyError));
  }
  EXPECT_THROW(mc->select_nps(five_, 1, hw::Type::CNP1), py::cast_error);
}

}  // namespace
}  // namespace morla
#endif
