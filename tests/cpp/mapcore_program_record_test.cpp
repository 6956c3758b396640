// NP block headers, the short and long block forms, and how blocks fill word buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/program_record.h"

namespace morla::program {
namespace {

const hw::Ident kZero{};
const hw::Ident kNp{1, 2, 3, 0};

std::vector<uint32_t> ramp(size_t n) {
  std::vector<uint32_t> words(n);
  for (size_t i = 0; i < n; ++i) words[i] = static_cast<uint32_t>(i + 1);
  return words;
}

uint32_t length_field(uint32_t word1) { return (word1 >> 16) & 0x3FFF; }
bool long_flag(uint32_t word1) { return word1 >> 31; }

struct HeaderCase {
  const char* name;
  hw::Ident ident;
  uint32_t type;
  uint32_t word0;
};

class BlockHeaderWord0 : public testing::TestWithParam<HeaderCase> {};

TEST_P(BlockHeaderWord0, FromIdentAndType) {
  const HeaderCase& c = GetParam();
  uint32_t words[2] = {0xFFFFFFFF, 0xFFFFFFFF};
  write_np_block_header(words, c.ident, c.type, 5, 0x1234, false);
  EXPECT_EQ(words[0], c.word0);
  EXPECT_EQ(words[1], 5u << 16 | 0x1234u);
  EXPECT_EQ(make_np_block_header(c.ident, c.type, 5, 0x1234),
            uint64_t{words[0]} | uint64_t{words[1]} << 32);
}

INSTANTIATE_TEST_SUITE_P(Headers, BlockHeaderWord0,
                         testing::Values(
                             // All-zero ident: broadcast bits 6-7 = 2, no select mask.
                             HeaderCase{"ZeroIdentRegisterBlock", kZero, 7, 0x88},
                             // TNP-R blocks carry neither the mask nor the broadcast bits.
                             HeaderCase{"ZeroIdentTnpRConfig", kZero, 13, 0},
                             HeaderCase{"NpWeights", kNp, 4, 0x01020804},
                             HeaderCase{"NpTnpRImage", kNp, 15, 0x01020002},
                             // Types outside 1..15 have code 0; the channel byte takes no part.
                             HeaderCase{"TypeZero", hw::Ident{4, 5, 0, 9}, 0, 0x04050100},
                             HeaderCase{"TypeSixteen", hw::Ident{4, 5, 1, 0}, 16, 0x04050200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlockHeader, FieldOverflowsAreRefused) {
  uint32_t words[2];
  // The NP select mask has four bits: ids 0-3.
  EXPECT_THROW(write_np_block_header(words, hw::Ident{0, 0, 4, 0}, 7, 1, 0, false),
               std::runtime_error);
  EXPECT_THROW(write_np_block_header(words, hw::Ident{0, 0, 200, 0}, 7, 1, 0, false),
               std::runtime_error);
  // A short length of 16384 does not fit 14 bits; in the long form it is stored / 16.
  EXPECT_THROW(write_np_block_header(words, kNp, 7, 16384, 0, false), std::runtime_error);
  write_np_block_header(words, kNp, 7, 16384, 0, true);
  EXPECT_EQ(length_field(words[1]), 1024u);
  EXPECT_TRUE(long_flag(words[1]));
}

TEST(AppendBlock, ShortBlockIsCopiedUnpadded) {
  WordBuffer buffer{7, 7};
  const auto words = ramp(16382);
  ASSERT_TRUE(append_block_to_buffer(buffer, kNp, 7, 3, words, true, true));
  ASSERT_EQ(buffer.size(), 2u + 2u + 16382u);
  EXPECT_EQ(length_field(buffer[3]), 16382u);
  EXPECT_FALSE(long_flag(buffer[3]));
  EXPECT_EQ(buffer[3] & 0xFFFF, 3u);
  EXPECT_EQ(std::vector<uint32_t>(buffer.begin() + 4, buffer.end()), words);
}

TEST(AppendBlock, LongBlockIsPaddedToSixteenWords) {
  WordBuffer buffer;
  EXPECT_FALSE(append_block_to_buffer(buffer, kNp, 7, 0, ramp(16383), false, true));
  EXPECT_TRUE(buffer.empty());
  ASSERT_TRUE(append_block_to_buffer(buffer, kNp, 7, 0, ramp(16383), true, true));
  ASSERT_EQ(buffer.size(), 2u + 16384u);
  EXPECT_EQ(length_field(buffer[1]), 1024u);
  EXPECT_TRUE(long_flag(buffer[1]));
  EXPECT_EQ(buffer[2 + 16382], 16383u);
  EXPECT_EQ(buffer.back(), 0u);
}

TEST(AppendBlock, BufferLimitCountsHeaderAndPadding) {
  // A short block that brings the buffer to exactly 65535 words fits; one more word not.
  WordBuffer buffer(65535 - 2 - 100, 0);
  const WordBuffer before = buffer;
  EXPECT_FALSE(append_block_to_buffer(buffer, kNp, 7, 0, ramp(101), false, true));
  EXPECT_EQ(buffer, before);
  EXPECT_TRUE(append_block_to_buffer(buffer, kNp, 7, 0, ramp(100), false, true));
  EXPECT_EQ(buffer.size(), 65535u);

  // The longest long block of an empty buffer: 65520 words (padded 65520 + 2 header).
  WordBuffer empty;
  EXPECT_FALSE(append_block_to_buffer(empty, kNp, 7, 0, ramp(65521), true, true));
  EXPECT_TRUE(empty.empty());
  ASSERT_TRUE(append_block_to_buffer(empty, kNp, 7, 0, ramp(65520), true, true));
  EXPECT_EQ(length_field(empty[1]), 4095u);
}

TEST(AppendBlock, WithoutLengthTheFieldIsZeroButTheLongFlagStays) {
  WordBuffer buffer;
  ASSERT_TRUE(append_block_to_buffer(buffer, kNp, 13, 0, ramp(20000), true, false));
  EXPECT_EQ(length_field(buffer[1]), 0u);
  EXPECT_TRUE(long_flag(buffer[1]));
  EXPECT_EQ(buffer.size(), 2u + 20000u);  // 20000 is a multiple of 16
}

TEST(AppendBlock, RefusedHeaderLeavesTheBufferUnchanged) {
  WordBuffer buffer{1, 2, 3};
  EXPECT_THROW(append_block_to_buffer(buffer, hw::Ident{0, 0, 9, 0}, 7, 0, ramp(4), true, true),
               std::runtime_error);
  EXPECT_EQ(buffer, (WordBuffer{1, 2, 3}));
}

TEST(Record, LongBlocksAlwaysOpenAFreshBuffer) {
  Record record(0xA1B2C3D4);
  EXPECT_EQ(record.key(), 0xA1B2C3D4u);
  record.append_np_program(kNp, 7, 0, ramp(16000), true, true);
  // 16383 words: refused in the short form, then a fresh buffer in the long form.
  record.append_np_program(kNp, 4, 0, ramp(16383), true, true);
  ASSERT_EQ(record.buffers().size(), 2u);
  EXPECT_EQ(record.buffers()[0].size(), 2u + 16000u);
  EXPECT_EQ(record.buffers()[1].size(), 2u + 16384u);
  // A zero-length block writes only its header, in the last buffer.
  record.append_np_program(kZero, 8, 4, {}, true, true);
  EXPECT_EQ(record.buffers()[1].size(), 2u + 16384u + 2u);
  // Without same_buffer every block opens a buffer of its own.
  record.append_np_program(kNp, 13, 0, ramp(3), false, false);
  EXPECT_EQ(record.buffers().size(), 3u);

  // The first block of a record, when long, leaves the buffer opened for it empty.
  Record first_long(0);
  first_long.append_np_program(kNp, 7, 0, ramp(40000), true, true);
  ASSERT_EQ(first_long.buffers().size(), 2u);
  EXPECT_TRUE(first_long.buffers()[0].empty());
  EXPECT_EQ(first_long.buffers()[1].size(), 2u + 40000u);
}

TEST(Record, AShortBlockThatDoesNotFitStartsANewBuffer) {
  Record record(0);
  record.append_np_program(kNp, 7, 0, ramp(16000), true, true);
  record.append_np_program(kNp, 7, 0, ramp(16000), true, true);
  record.append_np_program(kNp, 7, 0, ramp(16000), true, true);
  record.append_np_program(kNp, 7, 0, ramp(16000), true, true);  // 64008 words
  const WordBuffer first = record.buffers()[0];
  record.append_np_program(kNp, 7, 0, ramp(2000), true, true);
  ASSERT_EQ(record.buffers().size(), 2u);
  EXPECT_EQ(record.buffers()[0], first);
  EXPECT_EQ(record.buffers()[1].size(), 2002u);
}

TEST(Record, BlockTooLargeForAnyBufferThrows) {
  Record record(0);
  try {
    record.append_np_program(kNp, 7, 0, ramp(65521), true, true);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error generating NP program.");
  }
  // The two buffers opened on the way stay, empty.
  EXPECT_EQ(record.buffers().size(), 2u);
  EXPECT_TRUE(record.buffers()[0].empty() && record.buffers()[1].empty());
}

TEST(Record, ExternalBlockIsReplaced) {
  Record record(1);
  EXPECT_EQ(record.external_block(), nullptr);
  record.set_external_block(ident_key(kNp), {1, 2});
  record.set_external_block(ident_key(kNp), {3});
  ASSERT_NE(record.external_block(), nullptr);
  EXPECT_EQ(record.external_block()->words, (std::vector<uint32_t>{3}));
  EXPECT_EQ(key_ident(record.external_block()->key), kNp);
  EXPECT_EQ(ident_key(hw::Ident{1, 2, 3, 4}), 0x04030201u);
}

}  // namespace
}  // namespace morla::program
