// The Mote back end as the factory builds it: the checker, sizer and recorders that the
// mapping and the program builder call.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "backend/mote/mote_backend.h"
#include "backend/mote/stateful_checks.h"
#include "backend/mote/tnpr_memory.h"
#include "backend/mote/tnpr_recording.h"
#include "hwmap/hardware_backend.h"
#include "mote_test_support.h"

namespace morla {
namespace {

using mote_test::Chain;

class MoteBackend : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualDevice> device = mote_test::mote_device();
  IpVersionSpecificHardwareBackend backend{device};
};

TEST_F(MoteBackend, FactoryBuildsTheMoteClassesForProduct177) {
  EXPECT_NE(dynamic_cast<const mote::CompatibilityCheckerImpl*>(&backend.checker()), nullptr);
  EXPECT_NE(dynamic_cast<const mote::MemorySizerImpl*>(&backend.sizer()), nullptr);
  EXPECT_NE(dynamic_cast<const mote::IoRecorderImpl*>(&backend.io_recorder()), nullptr);
  EXPECT_NE(dynamic_cast<const mote::LayerRecorderImpl*>(&backend.layer_recorder()), nullptr);
}

TEST_F(MoteBackend, CheckerPassesHostLayersAndRefusesOtherTypes) {
  Chain chain(8, 32);
  chain
      .add(LayerType::Quantizer, {{"input_width", 1}, {"input_height", 8}, {"input_channels", 32}},
           "quantizer")
      .dequantizer()
      .add(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}}, "conv");
  for (const char* name : {"input", "quantizer", "dequantizer"})
    EXPECT_TRUE(backend.checker().check_layer(chain[name], nullptr, 0).ok()) << name;
  const MappingStatus conv = backend.checker().check_layer(chain["conv"], chain["dequantizer"], 0);
  EXPECT_EQ(conv.text, "Unsupported layer type on Mote.");
  EXPECT_EQ(conv.layer_name, "conv");
}

// A layer on the TNP-R is answered by its chain, against the device's limits.
TEST_F(MoteBackend, CheckerAnswersTheChainOfALayerOnTheTnpr) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 1, {{"subsample", 5}}).post_processing();
  const MappingStatus status = backend.checker().check_layer(chain["sr"], chain["input"], 0);
  EXPECT_EQ(status, mote::check_stateful_model(backend.description(), chain["sr"]));
  EXPECT_EQ(status.text, "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");
  EXPECT_TRUE(backend.checker().check_sequence({chain["input"], chain["sr"]}, 0).ok());
  EXPECT_TRUE(backend.checker().check_np_mapping(chain["sr"], {}, true).ok());
}

TEST_F(MoteBackend, SplittingQueriesAreRefused) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 1);
  const CompatibilityChecker& checker = backend.checker();
  const auto params = chain["sr"]->params();
  const std::vector<std::pair<std::function<void()>, std::string>> queries = {
      {[&] { checker.fits_single_buffer(hw::Type::TNP_R, 1, 1, 1, 0, 8, 0); },
       "No single buffer mode on Mote."},
      {[&] { checker.fits_dual_buffer(hw::Type::TNP_R, 1, 1, 1, 0, 8, 0); },
       "No dual buffer mode on Mote."},
      {[&] { checker.fits_weights(chain["sr"], 1); }, "No NP on Mote."},
      {[&] { checker.layer_geometry(hw::Type::TNP_R, *params); }, "Cannot split TNP-R."},
      {[&] { checker.fits_fnp3(backend.description(), chain["sr"]); }, "No FNP3 on Mote."},
  };
  for (const auto& [query, message] : queries) {
    try {
      query();
      ADD_FAILURE() << "answered instead of refusing: " << message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

TEST_F(MoteBackend, SizerGivesTheChainSizesAndNoNpBytes) {
  Chain chain(100, 32);
  chain.recurrent("sr", 64, 1).post_processing();
  const auto sr = chain["sr"];
  const hw::Component tnpr{hw::Type::TNP_R, {}, std::nullopt, {}};
  const MemorySizer& sizer = backend.sizer();
  EXPECT_EQ(sizer.input_memory_size(sr, tnpr, sr), 0u);
  EXPECT_EQ(sizer.weights_memory_size(sr, tnpr), 0u);
  EXPECT_EQ(sizer.external_memory_size(sr, tnpr, true, true), 0u);
  EXPECT_EQ(sizer.stsram_size(sr), mote::stsram_words(sr));
  EXPECT_EQ(sizer.fsram_size(sr), mote::fsram_words(sr));
  EXPECT_EQ(sizer.tsram_size(sr), mote::tsram_words(sr));
  EXPECT_EQ(sizer.evsram_size(sr), mote::evsram_words(sr));
}

TEST_F(MoteBackend, IoRecorderHasNothingToProgram) {
  Chain chain(8, 32);
  const IoRecorder& io = backend.io_recorder();
  const auto input =
      io.record_input(false, true, false, true, false, Shape{1, 8, 32}, Shape{1, 8, 32});
  EXPECT_EQ(input->key(), version_word(device->version()));
  EXPECT_TRUE(input->buffers().empty());
  EXPECT_TRUE(io.output_registers(chain["input"], 0, 0, 0, false, false, false).empty());
  EXPECT_EQ(io.input_code(chain["input"]), 0);
  EXPECT_EQ(io.output_code(chain["input"], 0), 0);
}

TEST_F(MoteBackend, LayerRecorderRecordsChainsAndHostLayers) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 1).post_processing();
  mote_test::map_on_tnp_r(*chain["sr"], hw::Ident{});
  const LayerRecorder& recorder = backend.layer_recorder();
  const auto record = [&](const char* name) {
    return recorder.record_layer(chain[name], chain["input"], nullptr, 1, 1, {}, 0, 0);
  };
  const auto input = record("input");
  EXPECT_EQ(input->key(), version_word(device->version()));
  EXPECT_TRUE(input->buffers().empty());
  EXPECT_EQ(record("sr")->buffers().size(), 3u);
  try {
    record("post");
    FAIL() << "recorded the tail on its own";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported layer type on mote: 28.");
  }
}

TEST_F(MoteBackend, NoLearningOnTheChip) {
  Chain chain(8, 32);
  chain.recurrent("sr", 16, 1);
  const LayerRecorder& recorder = backend.layer_recorder();
  for (const std::function<void()>& learn :
       std::vector<std::function<void()>>{[&] { recorder.record_learning(chain["sr"], 0); },
                                          [&] { recorder.sync_learning_vars(chain["sr"]); }}) {
    try {
      learn();
      ADD_FAILURE() << "learned";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Learning not implemented on mote.");
    }
  }
}

}  // namespace
}  // namespace morla
