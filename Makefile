# Two entry points for a fresh clone: `make demo` and `make test`.
PY        := .venv/bin/python
BUILD     ?= build/release
ASAN      ?= build/asan
TSAN      ?= build/tsan
JOBS      ?= $(shell nproc)
# The default build also drops the extension into morla/, so that the venv (which
# has the repository on its path) imports morla from anywhere.
INPLACE   ?= $(if $(filter build/release,$(BUILD)),ON,OFF)
PYBIND11_DIR = $(shell $(PY) -m pybind11 --cmakedir)
# ccache, when the machine has it, shares objects between checkouts of the tree.
CCACHE    := $(shell command -v ccache 2>/dev/null)
LAUNCHER  := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
# WERROR=ON: a warning in the project's own sources stops the build (make test, CI).
# Left empty, the build directory keeps what it was configured with.
WERROR    ?=
CONFIGURE  = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
  -Dpybind11_DIR=$(PYBIND11_DIR) -DMORLA_INPLACE=$(INPLACE) $(LAUNCHER) \
  $(if $(WERROR),-DMORLA_WERROR=$(WERROR))

.PHONY: setup build demo check-layers test test-cpp test-python test-asan test-tsan bench clean

setup:
	@scripts/setup.sh

build: setup
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# Every example (examples/_*.py are their helpers), the quickstart first; board_sim.py finds
# the simulator in the build directory.
EXAMPLES  := examples/quickstart.py $(filter-out examples/quickstart.py examples/_%,$(sort $(wildcard examples/*.py)))

demo: build
	@for example in $(EXAMPLES); do \
	  echo "== $$example"; \
	  PYTHONPATH=$(abspath $(BUILD))/python MORLA_BUILD_DIR=$(abspath $(BUILD)) $(PY) $$example \
	    || exit 1; echo; \
	done

test-cpp: build
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure --timeout 300

test-python: build
	PYTHONPATH=$(abspath $(BUILD))/python MORLA_BUILD_DIR=$(abspath $(BUILD)) \
	  .venv/bin/pytest tests/python -q -p no:cacheprovider --timeout=300

# Every #include under src/ against the allowed layer edges (docs/architecture.md), and
# each target's link closure in CMake's own graph against the same table.
check-layers: setup
	@$(CONFIGURE) --graphviz=$(abspath $(BUILD))/graph/morla.dot >/dev/null
	@python3 scripts/check_layers.py --graph $(BUILD)/graph/morla.dot

test: WERROR = ON
test: check-layers test-cpp test-python

# The C++ library and tests again under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: setup
	@cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORLA_SANITIZE=ON \
	  -DMORLA_BUILD_PYTHON=OFF $(LAUNCHER) $(if $(WERROR),-DMORLA_WERROR=$(WERROR)) >/dev/null
	@cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j$(JOBS) --output-on-failure --timeout 600

# The drivers' and the power sampling's tests under ThreadSanitizer: their own binary and
# the child programs it starts, and the symbol check of the wider-ISA objects this build
# compiles with the rest of the library; nothing else of the tests. TSAN_FILTER narrows the
# run.
TSAN_FILTER ?= *
test-tsan: setup
	@cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORLA_TSAN=ON \
	  -DMORLA_BUILD_PYTHON=OFF $(LAUNCHER) $(if $(WERROR),-DMORLA_WERROR=$(WERROR)) >/dev/null
	@cmake --build $(TSAN) -j$(JOBS) --target morla_thread_tests
	cd $(TSAN) && ctest --output-on-failure -R '^isa_symbols$$'
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN)/morla_thread_tests --gtest_filter='$(TSAN_FILTER)'

# The benchmarks' own peers (ONNX Runtime) go into the venv first; without them (no
# network) the comparisons they serve are skipped with a note.
bench: build
	@$(PY) -m pip install -q -r bench/requirements.txt || echo "bench: peers not installed, their comparisons are skipped"
	PYTHONPATH=$(abspath $(BUILD))/python MORLA_BUILD_DIR=$(abspath $(BUILD)) $(PY) bench/run.py

clean:
	rm -rf build
