// The operations on every kernel path this CPU can run (ops/kernel_path.h: the best one and
// each lower one, set here through limit_path; the module has no such switch). Built by
// bench/bench_ops.py against the project's static libraries, with bench/floors.cpp.
// Per path:
//   the element-wise operations on 56x56x64 int32 operands as the module's call runs them
//   (each argument copied into a new tensor, the operation, the result copied into new
//   memory) against their floor: a copy of each argument, one read pass over it and a copy
//   of the result;
//   the 8-bit convolution 56x56x64 * 3x3x64x64 the same way, beside its loops alone on the
//   same operands, laid out once (ops/blocked_conv.h; on the portable path its row loops),
//   and the floor of its copies.
// Steady state: every timing repeats its call for at least 3 ms after one call untimed, and
// each round times the case's timings in turn (9 rounds). Prints one line per case, tab-separated:
//   path, case, then label=min,median per timing (seconds per call).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "floors.h"

#include "ops/blocked_conv.h"
#include "ops/convolution.h"
#include "ops/elementwise.h"
#include "ops/kernel_path.h"
#include "ops/padding.h"
#include "ops/pooling.h"
#include "ops/shift.h"
#include "ops/stateful.h"

namespace {

using namespace morla;
using ops::kernels::KernelPath;
using Tensors = std::vector<std::shared_ptr<Dense>>;

constexpr int kRounds = 9;
constexpr double kAtLeast = 3e-3;

// What the compiler may not drop: the memory behind `p` is read.
void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

double seconds(const std::function<void()>& f, long calls) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < calls; ++i) f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Timing {
  std::string label;
  std::function<void()> run;
};

// Each timing's seconds per call, min and median over the rounds, each round timing them
// in turn, every one repeated for at least kAtLeast after one call untimed (the caches left
// by the timing before).
void measure(const char* path, const std::string& name, const std::vector<Timing>& timings) {
  std::vector<long> calls;
  for (const Timing& t : timings) {
    long n = 1;
    while (seconds(t.run, n) < kAtLeast) n *= 2;
    calls.push_back(n);
  }
  std::vector<std::vector<double>> times(timings.size());
  for (int round = 0; round < kRounds; ++round)
    for (size_t i = 0; i < timings.size(); ++i) {
      timings[i].run();
      times[i].push_back(seconds(timings[i].run, calls[i]) / static_cast<double>(calls[i]));
    }
  std::printf("%s\t%s", path, name.c_str());
  for (size_t i = 0; i < timings.size(); ++i) {
    std::sort(times[i].begin(), times[i].end());
    std::printf("\t%s=%.9g,%.9g", timings[i].label.c_str(), times[i].front(),
                times[i][times[i].size() / 2]);
  }
  std::printf("\n");
  std::fflush(stdout);
}

// An argument as the module receives it: bytes of a NumPy array, its type and shape.
struct Argument {
  std::vector<char> bytes;
  TensorType type;
  Shape shape;
};

using Arguments = std::shared_ptr<const std::vector<Argument>>;

template <typename T>
Argument argument(TensorType type, const Shape& shape, std::mt19937& gen, int64_t low,
                  int64_t high) {
  std::uniform_int_distribution<int64_t> value(low, high);
  Argument a{std::vector<char>(shape.element_count() * sizeof(T)), type, shape};
  for (size_t i = 0; i < shape.element_count(); ++i) {
    const T v = static_cast<T>(value(gen));
    std::memcpy(a.bytes.data() + i * sizeof(T), &v, sizeof(T));
  }
  return a;
}

using Operation = std::function<std::shared_ptr<Dense>(const Tensors&)>;

// The arguments copied into new tensors, as the module's bindings do.
Tensors tensors_of(const std::vector<Argument>& args) {
  Tensors tensors;
  for (const Argument& a : args)
    tensors.push_back(std::shared_ptr<Dense>(
        Dense::copy(a.bytes.data(), a.bytes.size(), a.type, a.shape, Dense::Layout::RowMajor)));
  return tensors;
}

// The module's call: the arguments into new tensors, the operation, the result copied into
// new memory.
std::function<void()> whole_call(Arguments args, Operation op) {
  return [args, op] {
    const std::shared_ptr<Dense> result = op(tensors_of(*args));
    const size_t size = result->buffer().size();
    const std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), result->buffer().data(), size);
    keep(copy.get());
  };
}

// The floor of that call: each argument copied and read once, the result's bytes copied,
// into buffers kept from call to call.
std::function<void()> floor_of(Arguments args, size_t result_bytes) {
  struct Buffers {
    std::vector<std::vector<char>> rooms;
    std::vector<const void*> inputs;
    std::vector<void*> copies;
    std::vector<size_t> sizes;
    std::vector<char> result, result_room;
    char* result_copy;
  };
  auto b = std::make_shared<Buffers>();
  b->rooms.resize(args->size());
  for (size_t i = 0; i < args->size(); ++i) {
    const std::vector<char>& bytes = (*args)[i].bytes;
    b->inputs.push_back(bytes.data());
    b->copies.push_back(at_offset_of(bytes.data(), bytes.size(), b->rooms[i]));
    b->sizes.push_back(bytes.size());
  }
  b->result.resize(result_bytes);
  b->result_copy = at_offset_of(b->result.data(), result_bytes, b->result_room);
  return [args, b] {
    const uint64_t seen =
        bound(b->inputs.size(), b->inputs.data(), b->copies.data(), b->sizes.data(),
              b->result.data(), b->result_copy, b->result.size());
    keep(&seen);
  };
}

struct Case {
  std::string name;
  Arguments args;
  Operation op;
};

Arguments share(std::vector<Argument> args) {
  return std::make_shared<const std::vector<Argument>>(std::move(args));
}

std::vector<Case> elementwise_cases(std::mt19937& gen) {
  const Shape image{56, 56, 64};
  const Argument x = argument<int32_t>(TensorType::int32, image, gen, -(1 << 20), (1 << 20) - 1);
  const Argument y = argument<int32_t>(TensorType::int32, image, gen, -(1 << 20), (1 << 20) - 1);
  const auto table = [&](uint32_t entries) {
    const int64_t half = entries / 2;
    return share({argument<int32_t>(TensorType::int32, {entries}, gen, -(1 << 20), (1 << 20) - 1),
                  argument<int32_t>(TensorType::int32, image, gen, -half, half - 1)});
  };
  const auto look_up = [](const Tensors& t) { return ops::look_up(*t[0], *t[1]); };
  const ops::PaddingInfo pool = ops::compute_padding(2, 2, 2, 2, Padding::Valid, image);
  return {{"add", share({x, y}), [](const Tensors& t) { return ops::add(*t[0], *t[1], 32); }},
          {"global_average_pooling", share({x}),
           [](const Tensors& t) { return ops::global_average_pooling(t[0], 32); }},
          {"look_up, 256-entry table", table(256), look_up},
          {"look_up, 2048-entry table", table(2048), look_up},
          {"lshift", share({x, argument<uint8_t>(TensorType::uint8, {64}, gen, 0, 3)}),
           [](const Tensors& t) { return ops::lshift(*t[0], *t[1], 32); }},
          {"scale_out to 8 bits",
           share({x, argument<uint8_t>(TensorType::uint8, {64}, gen, 1, 255),
                  argument<int8_t>(TensorType::int8, {64}, gen, -20, -9)}),
           [](const Tensors& t) { return ops::scale_out(*t[0], *t[1], *t[2], 8, 32); }},
          {"concatenate", share({x, y}),
           [](const Tensors& t) { return ops::concatenate({t[0], t[1]}); }},
          {"max_pooling 2x2", share({x}), [pool](const Tensors& t) {
             return ops::max_pooling(t[0], 2, 2, false, pool.out_x, pool.out_y, 2, 2,
                                     pool.pad_y_before, pool.pad_y_after, pool.pad_x_before,
                                     pool.pad_x_after, 32);
           }}};
}

void elementwise(const char* path, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const size_t result_bytes = c.op(tensors_of(*c.args))->buffer().size();
    measure(path, c.name,
            {{"call", whole_call(c.args, c.op)}, {"floor", floor_of(c.args, result_bytes)}});
  }
}

// conv2d of 8-bit values in int32, Same padding, stride 1: the module's call, the loops
// alone (the operands laid out once) and the floor of the call's copies.
void convolution(const char* path, std::mt19937& gen) {
  const Shape image{56, 56, 64};
  const Arguments args =
      share({argument<int32_t>(TensorType::int32, image, gen, -128, 127),
             argument<int8_t>(TensorType::int8, {3, 3, 64, 64}, gen, -128, 127)});
  const ops::PaddingInfo g = ops::compute_padding(3, 3, 1, 1, Padding::Same, image);
  const Operation conv = [g](const Tensors& t) {
    return ops::conv2d(*t[0], 1, 1, g.pad_x_before, g.pad_y_before, g.out_x, g.out_y, *t[1], 32);
  };

  const auto* values = reinterpret_cast<const int32_t*>((*args)[0].bytes.data());
  const ops::kernels::Image<int32_t> in{values, 56, 56, 64};
  const auto* weights = reinterpret_cast<const int8_t*>((*args)[1].bytes.data());
  // The weights as a kernel matrix (taps * C, F), unrotated (the order of the values does not
  // change the time); the output in the engine's storage, as the operation's.
  const std::vector<int32_t> kernel(weights, weights + (*args)[1].bytes.size());
  const std::shared_ptr<Dense> result =
      Dense::create(TensorType::int32, {g.out_x, g.out_y, 64}, Dense::Layout::RowMajor);
  auto* out = static_cast<uint32_t*>(result->buffer().mutable_data());
  const size_t row_size = size_t{g.out_y} * 64;
  const int32_t bits = 32;
  const auto prepared = ops::kernels::prepare_correlation(
      in, {1, g.pad_x_before, g.pad_y_before, nullptr}, {3, 3, 1, 1, g.out_x, g.out_y, 64},
      kernel.data(), {out, row_size, 64, &bits});
  const std::function<void()> loops = [&] {
    if (prepared) {
      ops::kernels::run_correlation(*prepared);
      return;
    }
    ops::kernels::CorrelationRow row{kernel.data(),  3,       3,      64, 0, 1,
                                     g.pad_y_before, g.out_y, nullptr};
    for (size_t ox = 0; ox < g.out_x; ++ox) {
      row.x0 = static_cast<int64_t>(ox) - g.pad_x_before;
      ops::kernels::correlate_row(in, row, out + ox * row_size);
    }
  };
  measure(path, "conv2d 8-bit",
          {{"call", whole_call(args, conv)},
           {"loops", loops},
           {"floor", floor_of(args, result->buffer().size())}});
  keep(out);
}

}  // namespace

int main() {
  std::mt19937 gen(7);
  const std::vector<Case> cases = elementwise_cases(gen);
  for (KernelPath path :
       {KernelPath::avx512_vnni, KernelPath::avx512, KernelPath::avx2, KernelPath::portable}) {
    if (!ops::kernels::cpu_supports(path)) continue;
    ops::kernels::limit_path(path);
    const char* name = ops::kernels::path_name(path);
    elementwise(name, cases);
    convolution(name, gen);
  }
  return 0;
}
