// The device program built from small test recorders: two size-prefixed FlatBuffers, read
// back by the FlatBuffers verifier, by a vtable walker written here from the format's
// tables (fields by id, struct layouts, no generated code) and by the Python reader that
// flatc generates from the same schema.
#include <gtest/gtest.h>
#include <flatbuffers/flatbuffers.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_program_generated.h"
#include "mapcore_test_support.h"
#include "mapping/pass_mapping.h"
#include "contract/layer_mapping.h"
#include "program/hardware_pass.h"
#include "program/program_builder.h"

#ifdef MORLA_TEST_EMBEDDED_PYTHON
#include <pybind11/embed.h>
#include <pybind11/stl.h>
#endif

namespace morla {
namespace {

using mapcore_test::cnp_nps;
using mapcore_test::Graph;
using mapcore_test::v2_device;
using Words = std::vector<uint32_t>;

constexpr uint32_t kVersionKey = 0x0004A201;

// Every record the test recorders made, in the order the builder added them.
struct Produced {
  std::vector<std::vector<Words>> buffers;  // per record
  std::vector<std::optional<Words>> external;
};

class TestIoRecorder : public IoRecorder {
 public:
  explicit TestIoRecorder(Produced& produced) : produced_(produced) {}
  program::RecordPtr record_input(bool, bool, bool, bool, bool, const Shape& input,
                                  const Shape&) const override {
    auto record = std::make_unique<program::Record>(kVersionKey);
    record->append_np_program(hw::Ident{}, 8, 64, {input[0], input[1], input[2]}, true, true);
    produced_.buffers.push_back(record->buffers());
    produced_.external.emplace_back();
    return record;
  }
  RegisterWrites output_registers(const LayerPtr&, uint8_t first, uint8_t last, uint8_t fixed, bool,
                                  bool, bool) const override {
    return {{16, uint32_t{first} | uint32_t{last} << 8}, {20, fixed}};
  }
  uint8_t input_code(const LayerPtr&) const override { return 0; }
  uint8_t output_code(const LayerPtr&, uint8_t) const override { return 0; }

 private:
  Produced& produced_;
};

// One register block per NP of the layer's mapping, words made from the layer's order;
// a layer named "fc" also gets an external block.
class TestLayerRecorder : public LayerRecorder {
 public:
  explicit TestLayerRecorder(Produced& produced) : produced_(produced) {}
  program::RecordPtr record_layer(const LayerPtr& layer, const LayerPtr&, const LayerPtr& next,
                                  uint8_t first_of_pass, uint8_t last_of_pass,
                                  const std::vector<hw::Ident>& skip, uint8_t handover,
                                  uint8_t) const override {
    const LayerMapping* mapping = layer_mapping(*layer);
    calls.push_back(
        layer->name() + " order=" + std::to_string(mapping ? mapping->order : 0) +
        " first=" + std::to_string(first_of_pass) + " last=" + std::to_string(last_of_pass) +
        " handover=" + std::to_string(handover) + " skip=" + std::to_string(skip.size()) +
        " next=" + (next ? next->name() : "-"));
    auto record = std::make_unique<program::Record>(kVersionKey);
    if (mapping && mapping->nps) {
      uint32_t n = 0;
      for (const auto& np : *mapping->nps)
        record->append_np_program(np.ident, 7, 0,
                                  {0xC0DE0000u | mapping->order << 8 | n++, handover}, true, true);
    }
    if (layer->name() == "fc") record->set_external_block(0x00030201, {7, 8, 9});
    keep(*record);
    return record;
  }
  LearningRecords record_learning(const LayerPtr& layer, uint32_t) const override {
    if (fail_learning) throw std::runtime_error("boom");
    LearningRecords learning;
    for (uint32_t i = 0; i < 3; ++i) {
      learning.records[i] = std::make_unique<program::Record>(kVersionKey);
      learning.records[i]->append_np_program(hw::Ident{1, 1, 0, 0}, 6, 0, {0x1EA40000u + i}, true,
                                             true);
    }
    learning.records[2]->append_np_program(hw::Ident{1, 1, 0, 0}, 6, 0, {5}, true, false);
    learning.weight_words = 321;
    (void)layer;
    for (const auto& r : learning.records) keep(*r);
    return learning;
  }
  void sync_learning_vars(const LayerPtr&) const override {}

  bool fail_learning = false;
  mutable std::vector<std::string> calls;

 private:
  void keep(const program::Record& record) const {
    produced_.buffers.push_back(record.buffers());
    produced_.external.push_back(record.external_block()
                                     ? std::optional<Words>(record.external_block()->words)
                                     : std::nullopt);
  }
  Produced& produced_;
};

// A chain in -> a -> b -> c -> fc cut into passes; optionally fc learns.
struct Sample {
  explicit Sample(std::vector<std::vector<const char*>> groups, bool learning = false)
      : g(4, 4, 2), io(produced), recorder(produced) {
    g.conv("a", {"in"});
    g.conv("b", {"a"});
    g.conv("c", {"b"});
    g.add("fc", LayerType::Dense1D, {{"units", 3}}, {"c"});
    PassContext context = build_pass_context(v2_device(cnp_nps(8)), nullptr, nullptr, nullptr);
    uint8_t id = 0;
    for (const auto& names : groups) {
      LayerList layers;
      std::vector<ComponentList> components;
      for (const char* name : names) {
        layers.push_back(g[name]);
        ComponentList list;
        if (std::string(name) != "in") {
          hw::Component np;
          np.type = std::string(name) == "fc" ? hw::Type::FNP3 : hw::Type::CNP1;
          np.ident = hw::Ident{1, 1, static_cast<uint8_t>(id % 4), 0};
          ++id;
          list.push_back(np);
        }
        components.push_back(list);
      }
      build_hardware_passes(context, layers, g.all(), components);
    }
    passes = context.passes;

    ProgramBuilder builder(recorder, io);
    builder.set_hw_version(HwVersion{1, 162, 0, 4});
    for (size_t p = 0; p < passes.size(); ++p) {
      const LayerList& layers = passes[p]->layers;
      if (p == 0)
        builder.record_input(false, true, false, true, false, Shape{4, 4, 2}, Shape{1, 1, 3});
      const LayerPtr next =
          p + 1 < passes.size() ? first_mappable_layer(passes[p + 1]->layers) : nullptr;
      for (const auto& layer : layers) {
        if (learning && layer->name() == "fc")
          learning_count = builder.record_learning(layer, 0);
        else
          builder.record_layer(layer, g["a"], next, 0, 0, {}, 0, 0);
      }
      if (next) builder.record_pass_handover(next, g["a"], {hw::Ident{1, 1, 0, 0}});
      builder.end_pass();
    }
    if (passes.size() >= 2) builder.record_output_registers(g["a"], 1, 2, 1, false, true, true);
    builder.set_multi_pass(passes.size() >= 2);
    ProgramTables tables;
    tables.engine_version = "2.7.1";
    tables.input_dims = Shape{4, 4, 2};
    tables.output_dims = Shape{1, 1, 3};
    tables.output_code = 2;
    tables.descriptors = 9;
    tables.output_scales = {0x3F800000};
    builder.rewrite_program_tables(tables, program, passes);
  }

  Graph g;
  Produced produced;
  TestIoRecorder io;
  TestLayerRecorder recorder;
  std::vector<std::shared_ptr<Sequence::Pass>> passes;
  std::vector<uint8_t> program;
  uint8_t learning_count = 0;
};

// ---- A minimal reader of size-prefixed FlatBuffers, from the format's rules ----

class Bytes {
 public:
  explicit Bytes(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint32_t u32(size_t at) const { return read<uint32_t>(at); }
  int32_t i32(size_t at) const { return read<int32_t>(at); }
  uint16_t u16(size_t at) const { return read<uint16_t>(at); }
  uint8_t u8(size_t at) const { return read<uint8_t>(at); }
  size_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& raw() const { return bytes_; }

 private:
  template <typename T>
  T read(size_t at) const {
    if (at + sizeof(T) > bytes_.size()) throw std::out_of_range("read past the buffer");
    T value;
    std::memcpy(&value, bytes_.data() + at, sizeof(T));
    return value;
  }
  std::vector<uint8_t> bytes_;
};

struct Vec {
  size_t data;  // first element
  uint32_t length;
};

class Table {
 public:
  Table(const Bytes& b, size_t pos) : b_(b), pos_(pos) {}
  // The root table of a size-prefixed buffer: its offset follows the size word.
  static Table root(const Bytes& b) { return Table(b, 4 + b.u32(4)); }

  std::optional<size_t> field(uint32_t id) const {
    const size_t vtable = pos_ - b_.i32(pos_);
    const uint16_t vtable_size = b_.u16(vtable);
    const uint32_t vo = 4 + 2 * id;
    if (vo + 2 > vtable_size) return std::nullopt;
    const uint16_t offset = b_.u16(vtable + vo);
    if (offset == 0) return std::nullopt;
    return pos_ + offset;
  }
  bool has(uint32_t id) const { return field(id).has_value(); }
  Table table(uint32_t id) const {
    const size_t at = field(id).value();
    return Table(b_, at + b_.u32(at));
  }
  Vec vector(uint32_t id) const {
    const size_t at = field(id).value();
    const size_t vec = at + b_.u32(at);
    return Vec{vec + 4, b_.u32(vec)};
  }
  Table element(const Vec& v, uint32_t i) const {
    const size_t at = v.data + 4 * i;
    return Table(b_, at + b_.u32(at));
  }
  uint8_t u8(uint32_t id) const { return has(id) ? b_.u8(*field(id)) : 0; }
  uint32_t u32(uint32_t id) const { return has(id) ? b_.u32(*field(id)) : 0; }

 private:
  const Bytes& b_;
  size_t pos_;
};

struct Split {
  Bytes info;
  Bytes data;
};

Split split_program(const std::vector<uint8_t>& program) {
  uint32_t length;
  std::memcpy(&length, program.data(), 4);
  EXPECT_LE(4u + length, program.size());
  return Split{Bytes({program.begin(), program.begin() + 4 + length}),
               Bytes({program.begin() + 4 + length, program.end()})};
}

Words words_at(const Bytes& data, uint32_t offset, uint32_t count) {
  Words words;
  for (uint32_t i = 0; i < count; ++i) words.push_back(data.u32(offset + 4 * i));
  return words;
}

// ProgramInfoRoot / ProgramDataRoot field ids.
enum Info : uint32_t {
  kVersion = 0,
  kHwVersion = 1,
  kInputDims = 2,
  kInputCode = 4,
  kOutputCode = 5,
  kOutputScales = 11,
  kDescriptors = 12,
  kRegisterWrites = 13,
  kPassInfos = 14,
  kLearningInfo = 15,
  kHeaderLocation = 16
};
enum Data : uint32_t { kPasses = 0, kLearning = 1, kHeaderWords = 2 };

TEST(ProgramBytes, SplitIntoTwoVerifiedSizePrefixedBuffers) {
  using Groups = std::vector<std::vector<const char*>>;
  for (const auto& groups :
       {Groups{{"in", "a", "b", "c", "fc"}}, Groups{{"in", "a", "b"}, {"c", "fc"}}}) {
    Sample s(groups);
    const Split parts = split_program(s.program);
    flatbuffers::Verifier info(parts.info.raw().data(), parts.info.size());
    EXPECT_TRUE(info.VerifySizePrefixedBuffer<device_program::ProgramInfoRoot>(nullptr));
    flatbuffers::Verifier data(parts.data.raw().data(), parts.data.size());
    EXPECT_TRUE(data.VerifySizePrefixedBuffer<device_program::ProgramDataRoot>(nullptr));
    EXPECT_EQ(parts.data.u32(0) + 4, parts.data.size());
  }
}

TEST(ProgramBytes, SinglePassWithoutLearningOrRegisterWrites) {
  Sample s({{"in", "a", "b", "c", "fc"}});
  const Split parts = split_program(s.program);
  const Table data = Table::root(parts.data);
  const Table info = Table::root(parts.info);
  // Header words: eight zero bytes; no learning, no register writes.
  const size_t header = data.field(kHeaderWords).value();
  EXPECT_EQ(parts.data.u32(header), 0u);
  EXPECT_EQ(parts.data.u32(header + 4), 0u);
  EXPECT_FALSE(data.has(kLearning));
  EXPECT_FALSE(info.has(kRegisterWrites));
  EXPECT_FALSE(info.has(kLearningInfo));
  // The info locates the header words.
  const size_t location = info.field(kHeaderLocation).value();
  EXPECT_EQ(parts.info.u32(location), header);
  EXPECT_EQ(parts.info.u32(location + 4), 2u);
  // Zero scalars are left out; others are stored.
  EXPECT_FALSE(info.has(kInputCode));
  EXPECT_EQ(info.u8(kOutputCode), 2);
  EXPECT_EQ(info.u8(kDescriptors), 9);
  const Table version = info.table(kHwVersion);
  EXPECT_EQ(version.u8(0), 1);
  EXPECT_EQ(version.u8(1), 162);
  EXPECT_FALSE(version.has(2));
  EXPECT_EQ(version.u8(3), 4);
  const Vec dims = info.vector(kInputDims);
  EXPECT_EQ(words_at(parts.info, static_cast<uint32_t>(dims.data), dims.length), (Words{4, 4, 2}));
  const Vec text = info.vector(kVersion);
  EXPECT_EQ(std::string(parts.info.raw().begin() + text.data,
                        parts.info.raw().begin() + text.data + text.length),
            "2.7.1");
}

TEST(ProgramBytes, TwoPassesCarryTheSwitchHeaderAndRegisterWrites) {
  Sample s({{"in", "a", "b"}, {"c", "fc"}});
  const Split parts = split_program(s.program);
  const Table data = Table::root(parts.data);
  const size_t header = data.field(kHeaderWords).value();
  EXPECT_EQ(parts.data.u32(header), 0x00000088u);
  EXPECT_EQ(parts.data.u32(header + 4), 0x00010000u);
  const Table info = Table::root(parts.info);
  const Vec writes = info.vector(kRegisterWrites);
  ASSERT_EQ(writes.length, 2u);
  EXPECT_EQ(words_at(parts.info, static_cast<uint32_t>(writes.data), 4),
            (Words{16, 0x0201, 20, 1}));
  // The hand-over records the next pass's first layer with its second pass byte, then puts
  // its pass byte back.
  const LayerMapping& c = require_layer_mapping(*s.g["c"]);
  const auto handover = std::find_if(
      s.recorder.calls.begin(), s.recorder.calls.end(),
      [](const std::string& call) { return call.find("handover=1") != std::string::npos; });
  ASSERT_NE(handover, s.recorder.calls.end());
  EXPECT_EQ(*handover, "c order=" + std::to_string(c.previous_pass_order) +
                           " first=0 last=0 handover=1 skip=1 next=c");
  EXPECT_EQ(c.order, 1);
}

TEST(ProgramBytes, EveryWordLocationPointsAtItsWords) {
  Sample s({{"in", "a", "b"}, {"c", "fc"}});
  const Split parts = split_program(s.program);
  const Table data = Table::root(parts.data);
  const Table info = Table::root(parts.info);
  const Vec data_passes = data.vector(kPasses);
  const Vec info_passes = info.vector(kPassInfos);
  ASSERT_EQ(data_passes.length, 2u);
  ASSERT_EQ(info_passes.length, 2u);
  size_t record = 0;
  for (uint32_t p = 0; p < 2; ++p) {
    const Vec programs = data.element(data_passes, p).vector(0);
    const Vec infos = info.element(info_passes, p).vector(0);
    ASSERT_EQ(programs.length, infos.length);
    for (uint32_t i = 0; i < programs.length; ++i, ++record) {
      ASSERT_LT(record, s.produced.buffers.size());
      const Table program = data.element(programs, i);
      const Table program_info = info.element(infos, i);
      const Vec buffers = program.vector(0);
      ASSERT_EQ(buffers.length, s.produced.buffers[record].size());
      const Vec locations = program_info.vector(0);
      ASSERT_EQ(locations.length, buffers.length);
      for (uint32_t b = 0; b < buffers.length; ++b) {
        const uint32_t offset = parts.info.u32(locations.data + 8 * b);
        const uint32_t count = parts.info.u32(locations.data + 8 * b + 4);
        EXPECT_EQ(parts.data.u32(offset - 4), count);  // the vector's length word
        EXPECT_EQ(words_at(parts.data, offset, count), s.produced.buffers[record][b]);
      }
      // An external block exists exactly when the record had one, and is located too.
      EXPECT_EQ(program.has(1), s.produced.external[record].has_value());
      EXPECT_EQ(program_info.has(1), s.produced.external[record].has_value());
      if (s.produced.external[record]) {
        const size_t external = program_info.field(1).value();
        EXPECT_EQ(words_at(parts.data, parts.info.u32(external), parts.info.u32(external + 4)),
                  *s.produced.external[record]);
        EXPECT_EQ(parts.info.u8(external + 8), 1);  // the key's ident bytes
        EXPECT_EQ(parts.info.u8(external + 9), 2);
        EXPECT_EQ(parts.info.u8(external + 10), 3);
        EXPECT_EQ(parts.info.u8(external + 11), 0);
      }
    }
  }
  EXPECT_EQ(record, s.produced.buffers.size());
}

TEST(ProgramBytes, LearningProgramsAreLocated) {
  Sample s({{"in", "a", "b", "c", "fc"}}, true);
  // The descriptors of the learning-off record (one buffer) and of the image (two).
  EXPECT_EQ(s.learning_count, 1 + 2);
  const Split parts = split_program(s.program);
  const Table data = Table::root(parts.data);
  const Table info = Table::root(parts.info);
  ASSERT_TRUE(data.has(kLearning));
  ASSERT_TRUE(info.has(kLearningInfo));
  const Table learning = data.table(kLearning);
  EXPECT_EQ(learning.u32(4), 321u);
  const size_t ident = learning.field(0).value();
  const hw::Ident fc_np = require_layer_mapping(*s.g["fc"]).nps->front().ident;
  EXPECT_EQ(parts.data.u8(ident), fc_np.col);
  EXPECT_EQ(parts.data.u8(ident + 2), fc_np.id);
  const Table located = info.table(kLearningInfo);
  const size_t on = located.field(0).value();
  const uint64_t header = program::make_np_block_header(hw::Ident{1, 1, 0, 0}, 6, 1, 0);
  EXPECT_EQ(
      words_at(parts.data, parts.info.u32(on), parts.info.u32(on + 4)),
      (Words{static_cast<uint32_t>(header), static_cast<uint32_t>(header >> 32), 0x1EA40000}));
  const Vec image = located.table(2).vector(0);
  ASSERT_EQ(image.length, 1u);  // only the image's first buffer
}

TEST(ProgramBytes, FailedLearningRecordNamesTheLayer) {
  Graph g(4, 4, 2);
  const auto fc = g.add("fc", LayerType::Dense1D, {{"units", 3}}, {"in"});
  Produced produced;
  TestIoRecorder io(produced);
  TestLayerRecorder recorder(produced);
  recorder.fail_learning = true;
  ProgramBuilder builder(recorder, io);
  try {
    builder.record_learning(fc, 0);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot map layer 'fc'. Error: boom.");
  }
}

TEST(ProgramBytes, SkipDmaEntriesOfAResidualPass) {
  Graph g(8, 8, 4);
  g.residual(LayerType::Add, true);
  const LayerList layers = g.all();
  const std::vector<ComponentList> components = mapcore_test::components_for(layers);
  PassContext context = build_pass_context(v2_device(cnp_nps(4)), nullptr, nullptr, nullptr);
  build_hardware_passes(context, layers, layers, components);
  Produced produced;
  TestIoRecorder io(produced);
  TestLayerRecorder recorder(produced);
  ProgramBuilder builder(recorder, io);
  for (const auto& layer : layers) builder.record_layer(layer, g["a"], nullptr, 0, 0, {}, 0, 0);
  builder.end_pass();
  std::vector<uint8_t> program;
  builder.rewrite_program_tables(ProgramTables{}, program, context.passes);

  const Split parts = split_program(program);
  const Table pass = Table::root(parts.info).element(Table::root(parts.info).vector(kPassInfos), 0);
  const Vec stores = pass.vector(1);
  const Vec loads = pass.vector(2);
  ASSERT_EQ(stores.length, 1u);
  ASSERT_EQ(loads.length, 1u);
  const SkipStoreInfo& store = *require_layer_mapping(*g["s"]).store_info;
  const SkipLoadInfo& load = *require_layer_mapping(*g["m"]).load_info;
  // col, row, id, channel, tnp_b, distance, index, 0; then the stored words: 8 rows of
  // 4 channels of two 32-bit words (8 columns x 8 bits).
  const hw::Ident store_ident = require_layer_mapping(*g["s"]).skip_dma_stores[0].ident;
  const hw::Ident load_ident = require_layer_mapping(*g["m"]).skip_dma_loads[0].ident;
  EXPECT_EQ(parts.info.u32(stores.data), program::ident_key(store_ident));
  EXPECT_EQ(parts.info.u32(stores.data + 4),
            uint32_t{store.distance} << 8 | uint32_t{store.index} << 16);
  EXPECT_EQ(parts.info.u32(stores.data + 8), 8u * 4u * 2u);
  EXPECT_EQ(parts.info.u32(loads.data), program::ident_key(load_ident));
  EXPECT_EQ(parts.info.u32(loads.data + 4),
            uint32_t{load.distance} << 8 | uint32_t{load.store_index} << 16);
  EXPECT_EQ(parts.info.u32(loads.data + 8), 0u);
}

TEST(ProgramBytes, TablesAreWrittenOnce) {
  Produced produced;
  TestIoRecorder io(produced);
  TestLayerRecorder recorder(produced);
  ProgramBuilder builder(recorder, io);
  builder.end_pass();  // an empty pass is still a pass
  std::vector<uint8_t> program;
  builder.rewrite_program_tables(ProgramTables{}, program, {});
  const Split parts = split_program(program);
  EXPECT_EQ(Table::root(parts.data).vector(kPasses).length, 1u);
  EXPECT_THROW(builder.rewrite_program_tables(ProgramTables{}, program, {}), std::logic_error);
}

#ifdef MORLA_TEST_EMBEDDED_PYTHON
namespace py = pybind11;

// The schema beside the sources: this file's path may be relative to the build directory.
std::string schema_path() {
  std::filesystem::path here(__FILE__);
  if (here.is_relative()) here = std::filesystem::path(MORLA_BINARY_DIR) / here;
  return (here.parent_path() / ".." / ".." / "src" / "program" / "device_program.fbs").string();
}

constexpr const char* kReader = R"(
import subprocess, sys, tempfile

def load_reader(schema):
    out = tempfile.mkdtemp(prefix="device_program_")
    subprocess.run(["flatc", "--python", "-o", out, schema], check=True)
    sys.path.insert(0, out)
    from device_program.ProgramInfoRoot import ProgramInfoRoot
    from device_program.ProgramDataRoot import ProgramDataRoot
    return ProgramInfoRoot, ProgramDataRoot

def read_words(program, schema, expected):
    ProgramInfoRoot, ProgramDataRoot = load_reader(schema)
    size = int.from_bytes(program[:4], "little")
    info_bytes, data_bytes = program[:4 + size], program[4 + size:]
    info = ProgramInfoRoot.GetRootAs(info_bytes, 4)
    data = ProgramDataRoot.GetRootAs(data_bytes, 4)
    assert info.PassesLength() == data.PassesLength()
    found = []
    for p in range(data.PassesLength()):
        programs, infos = data.Passes(p), info.Passes(p)
        assert programs.ProgramsLength() == infos.ProgramsLength()
        for i in range(programs.ProgramsLength()):
            buffers = []
            np_program, np_info = programs.Programs(i), infos.Programs(i)
            for b in range(np_program.BuffersLength()):
                words = [np_program.Buffers(b).Words(j)
                         for j in range(np_program.Buffers(b).WordsLength())]
                where = np_info.Buffers(b)
                start = where.Offset()
                located = [int.from_bytes(data_bytes[start + 4 * j:start + 4 * j + 4], "little")
                           for j in range(where.Count())]
                assert located == words, (located, words)
                buffers.append(words)
            found.append(buffers)
    assert found == expected, (found, expected)
    header = data.HeaderWords()
    return [header.Word0(), header.Word1(), info.Descriptors(), info.OutputCode(),
            info.EngineVersion().decode(), info.HwVersion().ProductId()]
)";

TEST(ProgramBytes, GeneratedPythonReaderReadsTheProgram) {
  if (!Py_IsInitialized()) py::initialize_interpreter();
  py::module_::import("sys").attr("path").attr("__setitem__")(
      py::slice(0, 0, 1), py::str(MORLA_TEST_PYTHON_PATH).attr("split")(":"));
  py::dict scope;
  py::exec(kReader, scope);
  Sample s({{"in", "a", "b"}, {"c", "fc"}});
  std::vector<std::vector<Words>> expected = s.produced.buffers;
  const py::bytes program(reinterpret_cast<const char*>(s.program.data()), s.program.size());
  const py::list read = scope["read_words"](program, schema_path(), expected);
  EXPECT_EQ(read[0].cast<uint32_t>(), 0x88u);
  EXPECT_EQ(read[1].cast<uint32_t>(), 0x10000u);
  EXPECT_EQ(read[2].cast<int>(), 9);
  EXPECT_EQ(read[3].cast<int>(), 2);
  EXPECT_EQ(read[4].cast<std::string>(), "2.7.1");
  EXPECT_EQ(read[5].cast<int>(), 162);
}
#endif

}  // namespace
}  // namespace morla
