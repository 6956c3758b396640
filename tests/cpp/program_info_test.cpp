// The engine's program info: the six memory figures of a program whose contents are
// known, and refusal (never a crash) of bytes that are not a device program.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "engine_api/program_info.h"
#include "hwmap_test_support.h"
#include "program/program_builder.h"

namespace morla {
namespace {

struct KnownProgram {
  std::vector<uint8_t> bytes;
  size_t info_size = 0;
};

// Input (5, 3, 2) of 8 bits, output (1, 1, 10) of 4 bits, one layer whose record carries an
// external block of 10 words, descriptor value 3.
KnownProgram known_program() {
  test::FakeIoRecorder io;
  test::FakeLayerRecorder layers;
  layers.buffers["dense"] = 2;
  layers.external_words = 10;
  const auto model = test::dense_model();
  ProgramBuilder builder(layers, io);
  builder.set_hw_version(HwVersion{0x4B, 0xA1, 3, 6});
  builder.record_input(false, true, false, false, true, Shape{5, 3, 2}, Shape{1, 1, 10});
  builder.record_layer(model->layers()[1], model->layers()[1], nullptr, 0, 0, {}, 0, 0);
  builder.end_pass();
  ProgramTables tables;
  tables.input_dims = Shape{5, 3, 2};
  tables.output_dims = Shape{1, 1, 10};
  tables.input_bits = 8;
  tables.output_bits = 4;
  tables.descriptors = 3;
  KnownProgram program;
  builder.rewrite_program_tables(tables, program.bytes, {});
  program.info_size = 4 + (program.bytes[0] | program.bytes[1] << 8 | program.bytes[2] << 16 |
                           size_t{program.bytes[3]} << 24);
  return program;
}

TEST(ProgramInfo, FiguresOfAKnownProgram) {
  const KnownProgram program = known_program();
  const ProgramInfo info(program.bytes.data(), program.bytes.size());
  EXPECT_EQ(input_memory_required(info), 32u);  // 30 bytes in whole words
  EXPECT_EQ(output_memory_required(info), 8u);  // 40 bits in whole words
  EXPECT_EQ(program_data_memory_required(info), program.bytes.size() - program.info_size);
  EXPECT_EQ(extra_program_memory_required(info), 40u);
  EXPECT_EQ(input_descriptor_memory_required(info), 32u);
  EXPECT_EQ(program_descriptors_memory_required(info), 3u * 32u);
}

// The info with its length word grown by 1 to 3 bytes, those bytes appended to it: an info
// that is no whole number of words (the data after it would start off a word).
std::vector<uint8_t> info_grown_by(const KnownProgram& program, uint32_t extra) {
  std::vector<uint8_t> bytes(program.bytes.begin(),
                             program.bytes.begin() + static_cast<ptrdiff_t>(program.info_size));
  const uint32_t length = static_cast<uint32_t>(program.info_size - 4 + extra);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(length >> (8 * i));
  bytes.insert(bytes.end(), extra, 0);
  bytes.insert(bytes.end(), program.bytes.begin() + static_cast<ptrdiff_t>(program.info_size),
               program.bytes.end());
  return bytes;
}

TEST(ProgramInfo, RefusesBytesThatAreNoProgram) {
  const KnownProgram program = known_program();
  const std::vector<uint8_t>& p = program.bytes;
  std::vector<std::vector<uint8_t>> refused{
      {},
      {1, 2, 3},
      std::vector<uint8_t>(64, 0xFF),
      std::vector<uint8_t>(p.begin(), p.begin() + static_cast<ptrdiff_t>(program.info_size - 1)),
      std::vector<uint8_t>(p.begin(), p.end() - 1),
      // The info alone is a program without its data.
      std::vector<uint8_t>(p.begin(), p.begin() + static_cast<ptrdiff_t>(program.info_size)),
      info_grown_by(program, 1),
      info_grown_by(program, 2),
      info_grown_by(program, 3),
  };
  std::vector<uint8_t> trailing = p;
  trailing.push_back(0);
  refused.push_back(trailing);
  for (const auto& bytes : refused)
    EXPECT_THROW(ProgramInfo(bytes.data(), bytes.size()), std::invalid_argument)
        << bytes.size() << " bytes";
  EXPECT_THROW(ProgramInfo(nullptr, 0), std::invalid_argument);
}

// Seeded mutations of a real program: every answer is a figure or std::invalid_argument.
TEST(ProgramInfo, MutatedProgramsNeverCrash) {
  const std::vector<uint8_t> original = known_program().bytes;
  std::mt19937 gen(20261207);
  size_t accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> bytes = original;
    const int edits = 1 + static_cast<int>(gen() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (gen() % 3) {
        case 0: bytes[gen() % bytes.size()] ^= static_cast<uint8_t>(1u << (gen() % 8)); break;
        case 1: bytes[gen() % bytes.size()] = static_cast<uint8_t>(gen()); break;
        default: bytes.resize(gen() % (bytes.size() + 1)); break;
      }
      if (bytes.empty()) break;
    }
    try {
      const ProgramInfo info(bytes.data(), bytes.size());
      accepted += input_memory_required(info) + 1 > 0;
    } catch (const std::invalid_argument&) {
    }
  }
  EXPECT_GT(accepted, 0u);
}

}  // namespace
}  // namespace morla
