// The TNP-R program of a StatefulRecurrent chain: the configuration block, the FSRAM and
// TSRAM images, and the refusals of values and variables that do not fit.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mote/tnpr_memory.h"
#include "backend/mote/tnpr_recording.h"
#include "mote_test_support.h"

namespace morla {
namespace {

using mote_test::Chain;
using mote_test::replace_variable;
using mote_test::set_value;

const hw::Ident kTnpr{1, 2, 0, 0};

uint32_t bits(uint64_t word, unsigned first, unsigned last) {
  return static_cast<uint32_t>((word >> first) & ((uint64_t{1} << (last - first + 1)) - 1));
}

// One block of the record: its two header words and its words.
struct Block {
  uint32_t header[2];
  std::vector<uint32_t> words;

  // Entry i of an image of 64-bit (FSRAM) or 51-bit (TSRAM) words, two 32-bit halves each.
  uint64_t entry(size_t i) const { return words.at(2 * i) | uint64_t{words.at(2 * i + 1)} << 32; }
  size_t entries() const { return words.size() / 2; }
};

struct Program {
  uint32_t key;
  Block config, fsram, tsram;
};

// Records the chain from `start` after mapping it on the TNP-R; each block has a buffer of
// its own.
Program record(const std::shared_ptr<Layer>& start) {
  mote_test::map_on_tnp_r(*start, kTnpr);
  const auto record = mote::record_stateful_recurrent(*mote_test::mote_device(), start);
  const auto& buffers = record->buffers();
  EXPECT_EQ(buffers.size(), 3u);
  Program program{record->key(), {}, {}, {}};
  Block* blocks[] = {&program.config, &program.fsram, &program.tsram};
  for (size_t i = 0; i < 3 && i < buffers.size(); ++i) {
    blocks[i]->header[0] = buffers[i].at(0);
    blocks[i]->header[1] = buffers[i].at(1);
    blocks[i]->words.assign(buffers[i].begin() + 2, buffers[i].end());
  }
  return program;
}

TEST(MoteRecording, SingleLayerEndedByAHostDequantizer) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 8).dequantizer();
  const Program p = record(chain["sr"]);

  EXPECT_EQ(p.key, 1u | 0xB1u << 8 | 2u << 16 | 3u << 24);
  // Target column and row, no NP select, the kind's code; no length, field 0.
  EXPECT_EQ(p.config.header[0], 0x01020000u);
  EXPECT_EQ(p.fsram.header[0], 0x01020001u);
  EXPECT_EQ(p.tsram.header[0], 0x01020002u);
  for (const Block* b : {&p.config, &p.fsram, &p.tsram}) EXPECT_EQ(b->header[1], 0u);

  ASSERT_EQ(p.config.words.size(), 16u);
  const uint32_t w0 = p.config.words[0];
  EXPECT_EQ(bits(w0, 0, 2), 0u);              // one layer
  EXPECT_EQ(w0 & (1u << 17 | 1u << 20), 0u);  // no post-processing
  EXPECT_EQ(w0 & (1u << 18 | 1u << 22), 0u);  // 8-bit output
  EXPECT_EQ(bits(w0, 19, 19), 0u);            // 8-bit input
  EXPECT_EQ(p.config.words[1], 8u);           // padded row words, no timesteps
  EXPECT_EQ(p.config.words[4], 0u);
  EXPECT_EQ(bits(p.config.words[15], 0, 15), 0u);
  EXPECT_EQ(p.config.words[6], 16u);
  EXPECT_EQ(p.config.words[7], 8u);    // output channels of layer 0 (layer 1: 0)
  EXPECT_EQ(p.config.words[11], 32u);  // input channels of layer 0

  // The images agree with the sizes the checks compare with the limits; no tail entry.
  EXPECT_EQ(p.fsram.entries(), mote::fsram_words(chain["sr"]));
  EXPECT_EQ(p.tsram.entries(), mote::tsram_words(chain["sr"]));
  EXPECT_EQ(p.config.words[3], 16u << 16 | (16u + 8));
}

TEST(MoteRecording, OutputWidthFlagsFollowTheLastLayer) {
  for (int output_bits : {28, 32}) {
    Chain chain(8, 32);
    chain.recurrent("sr", 16, 8, {{"output_bits", output_bits}}).dequantizer();
    const uint32_t w0 = record(chain["sr"]).config.words[0];
    EXPECT_EQ(bits(w0, 18, 18), 0u);
    EXPECT_EQ(bits(w0, 22, 22), 1u);
  }
}

TEST(MoteRecording, TwoLayersAndAPostProcessingTail) {
  Chain chain(8, 32);
  chain.recurrent("sr1", 16, 8, {{"activation", 1}, {"subsample", 2}})
      .recurrent("sr2", 16, 1)
      .post_processing();
  const auto sr1 = chain["sr1"];
  const auto post = chain["post"];
  for (uint32_t j = 0; j < 8; ++j) set_value<uint8_t>(*sr1, "output_scales", j, 10 + j);
  set_value<uint16_t>(*post, "input_scales", 0, 500);
  set_value<int8_t>(*post, "input_shift", 0, -3);
  set_value<int8_t>(*chain["sr2"], "bias", 0, -2);
  set_value<uint16_t>(*post, "threshold", 0, 1000);

  const Program p = record(sr1);
  const auto& config = p.config.words;
  EXPECT_EQ(bits(config[0], 0, 2), 2u);
  EXPECT_EQ(bits(config[0], 17, 18), 3u);
  EXPECT_EQ(bits(config[0], 20, 20), 1u);
  EXPECT_EQ(bits(config[0], 22, 22), 0u);
  EXPECT_EQ(bits(config[1], 8, 15), 8u);  // timesteps of the start layer
  EXPECT_EQ(config[4], 16u * 2);          // the state of both recurrent layers
  EXPECT_EQ(bits(config[5], 0, 1), 1u);   // subsample 2
  EXPECT_EQ(bits(config[5], 2, 5), 0u);
  EXPECT_EQ(bits(config[15], 0, 7), 4u);
  EXPECT_EQ(bits(config[15], 8, 15), 6u);
  EXPECT_EQ(bits(config[15], 16, 23), 1u);  // ReLU on layer 0 only
  EXPECT_EQ(config[7], 8u | 1u << 9);       // output channels 8 and 1
  EXPECT_EQ(config[8], 1u);                 // the tail counts one channel
  EXPECT_EQ(config[11], 32u | 8u << 9);

  // State: 16 + 16 entries; output: 8 + 1 + the tail's; input: 4 + 1 + the tail's zero.
  const uint32_t state = 32, output = 10, input = 6;
  ASSERT_EQ(p.tsram.entries(), state + output + input);
  EXPECT_EQ(p.tsram.entries(), mote::tsram_words(sr1));
  EXPECT_EQ(config[3], state << 16 | (state + output));
  EXPECT_EQ(p.tsram.entry(state + 3), 13u);  // the first layer's own scale
  const uint64_t second = p.tsram.entry(state + 8);
  EXPECT_EQ(bits(second, 0, 15), 500u);  // the tail's input scale and shift
  EXPECT_EQ(bits(second, 16, 21), 61u);
  EXPECT_EQ(bits(second, 22, 29), 0xFEu);  // the layer's own bias
  const uint64_t tail = p.tsram.entry(state + 9);
  EXPECT_EQ(bits(tail, 0, 15), 1u);
  EXPECT_EQ(bits(tail, 16, 21), 64u - 2);  // sr2 gives 4 steps: a shift by log2(4)
  EXPECT_EQ(bits(tail, 22, 37), 1000u);
  EXPECT_EQ(p.tsram.entry(state + output + input - 1), 0u);
}

TEST(MoteRecording, PostProcessingEntryOfOneHundredSteps) {
  Chain chain(100, 32);
  chain.recurrent("sr", 16, 1).post_processing();
  set_value<uint16_t>(*chain["post"], "threshold", 0, 0xBEEF);
  const Program p = record(chain["sr"]);
  const uint64_t entry = p.tsram.entry(16 + 1);
  EXPECT_EQ(bits(entry, 0, 15), 1u);
  EXPECT_EQ(bits(entry, 16, 21), 58u);  // -6: log2(100) truncated
  EXPECT_EQ(bits(entry, 22, 37), 0xBEEFu);
  EXPECT_EQ(bits(entry, 38, 63), 0u);
}

// ---- Refusals --------------------------------------------------------------------------------

struct Refusal {
  std::string label;
  std::function<void(Chain&)> spoil;
  std::string message;
};

class RecordingRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(RecordingRefusal, ThrowsItsMessage) {
  const Refusal& c = GetParam();
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 1).post_processing();
  c.spoil(chain);
  try {
    record(chain["sr"]);
    FAIL() << "recorded";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

// A per-channel variable of another length than the chain's: shorter ones would be read
// past their end, longer ones would not match the checked memory size.
Refusal wrong_length(const std::string& layer, const std::string& name, TensorType type,
                     uint32_t held, uint32_t needed) {
  return {name + "_of_" + layer,
          [=](Chain& c) { replace_variable(*c[layer], name, type, Shape{held}); },
          "Cannot record layer '" + layer + "' on the TNP-R: variable '" + name + "' holds " +
              std::to_string(held) + " values where the chain needs " + std::to_string(needed) +
              "."};
}

INSTANTIATE_TEST_SUITE_P(
    Mote, RecordingRefusal,
    ::testing::Values(
        Refusal{
            "StateOutputShift",
            [](Chain& c) { set_value<int8_t>(*c["sr"], "internal_state_outputs_shift", 2, 16); },
            "16 cannot fit in a 5-bit signed integer"},
        Refusal{"NewStateShift",
                [](Chain& c) { set_value<int8_t>(*c["sr"], "new_state_shift", 0, -33); },
                "-33 cannot fit in a 6-bit signed integer"},
        Refusal{"OutputShift",
                [](Chain& c) { set_value<int8_t>(*c["post"], "input_shift", 0, 32); },
                "32 cannot fit in a 6-bit signed integer"},
        Refusal{"BiasShift", [](Chain& c) { set_value<uint8_t>(*c["sr"], "bias_shift", 0, 32); },
                "32 cannot fit in a 5-bit unsigned integer"},
        Refusal{"SignedScales",
                [](Chain& c) {
                  replace_variable(*c["post"], "input_scales", TensorType::int8, Shape{1});
                },
                "Error when formattting output scale : Unsupported output scales type in TSRAM "
                "formatting."},
        wrong_length("sr", "A_real", TensorType::int16, 17, 16),
        wrong_length("sr", "A_imag", TensorType::int16, 15, 16),
        wrong_length("sr", "internal_state_outputs_shift", TensorType::int8, 15, 16),
        wrong_length("sr", "new_state_scale", TensorType::uint8, 15, 16),
        wrong_length("sr", "new_state_shift", TensorType::int8, 15, 16),
        wrong_length("sr", "input_shift", TensorType::uint8, 31, 32),
        wrong_length("sr", "bias", TensorType::int8, 2, 1),
        wrong_length("sr", "bias_shift", TensorType::uint8, 2, 1),
        wrong_length("post", "input_scales", TensorType::uint16, 2, 1),
        wrong_length("post", "input_shift", TensorType::int8, 2, 1)),
    [](const auto& info) { return info.param.label; });

TEST(MoteRecording, ProjectionOfAnotherTypeIsRefused) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 8).dequantizer();
  replace_variable(*chain["sr"], "in_proj", TensorType::int16, Shape{16, 32});
  try {
    record(chain["sr"]);
    FAIL() << "recorded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Wrong requested type ", 0), 0u) << e.what();
  }
}

TEST(MoteRecording, NinthChainLayerIsRefused) {
  Chain chain(8, 32);
  for (int i = 1; i <= 8; ++i) chain.recurrent("sr" + std::to_string(i), 16, 1);
  chain.post_processing();
  EXPECT_THROW(record(chain["sr1"]), std::out_of_range);
  EXPECT_NO_THROW(record(chain["sr2"]));
}

TEST(MoteRecording, StartLayerMustBeMappedOnAComponent) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 8).dequantizer();
  const auto device = mote_test::mote_device();
  EXPECT_THROW(mote::record_stateful_recurrent(*device, chain["sr"]), std::runtime_error);
  auto mapping = std::make_shared<LayerMapping>();
  mapping->nps = share_components({});
  chain["sr"]->mapping() = mapping;
  try {
    mote::record_stateful_recurrent(*device, chain["sr"]);
    FAIL() << "recorded without a component";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid vector subscript");
  }
}

TEST(MoteRecording, RowTooWideForItsFieldIsRefused) {
  Chain chain(8, 2048);  // 512 words of 8-bit values
  chain.recurrent("sr", 16, 8).dequantizer();
  try {
    record(chain["sr"]);
    FAIL() << "recorded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Attempted to write value 512 into a 8-bit field, which will cause an overflow.");
  }
}

}  // namespace
}  // namespace morla
