#include "engine/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#include <nmmintrin.h>
#endif

namespace morla::engine {

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // Castagnoli, bit-reflected

// Slicing by 8: table[k][b] is the CRC of byte b followed by k zero bytes, so eight input
// bytes are folded per step.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? kPolynomial ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  return t;
}

constexpr Tables kTables = make_tables();

uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The register update without the initial and final inversions.
uint32_t update_portable(uint32_t c, const uint8_t* data, size_t size) {
  for (; size >= 8; data += 8, size -= 8) {
    const uint32_t low = load_le32(data) ^ c;
    const uint32_t high = load_le32(data + 4);
    c = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
        kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^ kTables[2][(high >> 8) & 0xFFu] ^
        kTables[1][(high >> 16) & 0xFFu] ^ kTables[0][high >> 24];
  }
  for (; size > 0; ++data, --size) c = kTables[0][(c ^ *data) & 0xFFu] ^ (c >> 8);
  return c;
}

using Update = uint32_t (*)(uint32_t, const uint8_t*, size_t);

#if defined(__x86_64__)

// a * b modulo the polynomial, both in the reflected form (bit 31 is x^0).
constexpr uint32_t multiply(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1u) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// x^bits modulo the polynomial.
constexpr uint32_t x_power(size_t bits) {
  uint32_t result = 1u << 31;  // x^0
  uint32_t power = 1u << 30;   // x^1
  for (; bits != 0; bits >>= 1) {
    if (bits & 1u) result = multiply(result, power);
    power = multiply(power, power);
  }
  return result;
}

// x^(8 * bytes) modulo the polynomial: multiplying a register by it appends that many zeros.
constexpr uint32_t zeros_operator(size_t bytes) { return x_power(bytes * 8); }

uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The instruction has a latency of three cycles and a throughput of one: three independent
// streams over consecutive blocks keep it busy, and are joined by appending zeros to the
// earlier ones. Appending 8 * B bits is a multiplication by x^(8 * B); with PCLMULQDQ it is
// one carry-less product by x^(8 * B - 33), which the instruction reduces: the crc32 of a
// 64-bit word w from 0 is w * x^33 modulo the polynomial, the product of two reflected
// 32-bit values sitting one bit below the word's reflected form (hence 33, not 32).
struct StreamBlock {
  size_t bytes;
  uint32_t shift;  // x^(8 * bytes) for the bit-serial join
  uint64_t clmul;  // x^(8 * bytes - 33) for the carry-less join
};
constexpr StreamBlock stream_block(size_t bytes) {
  return {bytes, zeros_operator(bytes), x_power(bytes * 8 - 33)};
}
// Large blocks for the bulk, small ones for what is left, the rest one stream.
constexpr StreamBlock kBlocks[] = {stream_block(4096), stream_block(256)};

__attribute__((target("sse4.2,pclmul"))) uint32_t append_zeros_clmul(uint32_t c,
                                                                     const StreamBlock& block) {
  const __m128i product =
      _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(c)),
                           _mm_cvtsi64_si128(static_cast<int64_t>(block.clmul)), 0x00);
  return static_cast<uint32_t>(_mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(product))));
}

template <bool Clmul>
__attribute__((target("sse4.2"))) uint32_t update_streams(uint32_t c, const uint8_t* data,
                                                          size_t size) {
  const auto append_zeros = [](uint32_t r, const StreamBlock& block) {
    return Clmul ? append_zeros_clmul(r, block) : multiply(r, block.shift);
  };
  for (const StreamBlock& block : kBlocks) {
    const size_t n = block.bytes;
    for (; size >= 3 * n; data += 3 * n, size -= 3 * n) {
      uint64_t c0 = c, c1 = 0, c2 = 0;
      for (size_t i = 0; i < n; i += 16) {  // two words a step: the loop's own work hides
        c0 = _mm_crc32_u64(c0, load_le64(data + i));
        c1 = _mm_crc32_u64(c1, load_le64(data + n + i));
        c2 = _mm_crc32_u64(c2, load_le64(data + 2 * n + i));
        c0 = _mm_crc32_u64(c0, load_le64(data + i + 8));
        c1 = _mm_crc32_u64(c1, load_le64(data + n + i + 8));
        c2 = _mm_crc32_u64(c2, load_le64(data + 2 * n + i + 8));
      }
      c = append_zeros(append_zeros(static_cast<uint32_t>(c0), block) ^ static_cast<uint32_t>(c1),
                       block) ^
          static_cast<uint32_t>(c2);
    }
  }
  uint64_t c64 = c;
  for (; size >= 8; data += 8, size -= 8) c64 = _mm_crc32_u64(c64, load_le64(data));
  c = static_cast<uint32_t>(c64);
  for (; size > 0; ++data, --size) c = _mm_crc32_u8(c, *data);
  return c;
}

bool has_instruction() { return __builtin_cpu_supports("sse4.2"); }
bool has_clmul() { return has_instruction() && __builtin_cpu_supports("pclmul"); }

uint32_t update_sse42(uint32_t c, const uint8_t* data, size_t size) {
  static const bool clmul = has_clmul();
  return clmul ? update_streams<true>(c, data, size) : update_streams<false>(c, data, size);
}

// Folding: a 128-bit piece S followed by D more bits is, for the CRC, the same as the piece
// clmul(S.low, x^(D+32)) ^ clmul(S.high, x^(D-32)) laid over the last 128 of those bits
// (constants reflected like the register, one bit up for the product's alignment). Four
// 512-bit accumulators fold 256 bytes a step; the last 128-bit piece goes through the crc32
// instruction, which reduces it, and the instruction does the tail.
struct FoldConstants {
  uint64_t low, high;
};
constexpr FoldConstants fold_by(size_t bits) {
  return {uint64_t{zeros_operator(bits / 8 + 4)} << 1, uint64_t{zeros_operator(bits / 8 - 4)} << 1};
}
constexpr FoldConstants kFold128 = fold_by(128), kFold256 = fold_by(256), kFold384 = fold_by(384),
                        kFold512 = fold_by(512), kFold1024 = fold_by(1024),
                        kFold1536 = fold_by(1536), kFold2048 = fold_by(2048);

#define MORLA_FOLDING_TARGET "avx512f,vpclmulqdq,pclmul,sse4.2"

__attribute__((target(MORLA_FOLDING_TARGET))) inline __m512i wide_constants(FoldConstants k) {
  const auto low = static_cast<int64_t>(k.low), high = static_cast<int64_t>(k.high);
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

__attribute__((target(MORLA_FOLDING_TARGET))) inline __m512i load(const uint8_t* p) {
  return _mm512_loadu_si512(p);
}

__attribute__((target(MORLA_FOLDING_TARGET))) inline __m512i fold(__m512i x, __m512i k) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00),
                          _mm512_clmulepi64_epi128(x, k, 0x11));
}

__attribute__((target(MORLA_FOLDING_TARGET))) inline __m128i fold(__m128i x, FoldConstants k) {
  const __m128i c = _mm_set_epi64x(static_cast<int64_t>(k.high), static_cast<int64_t>(k.low));
  return _mm_xor_si128(_mm_clmulepi64_si128(x, c, 0x00), _mm_clmulepi64_si128(x, c, 0x11));
}

__attribute__((target(MORLA_FOLDING_TARGET))) uint32_t update_folding(uint32_t c,
                                                                      const uint8_t* data,
                                                                      size_t size) {
  constexpr size_t kStep = 256;
  if (size < 2 * kStep) return update_sse42(c, data, size);
  // The register enters as the first 32 bits of the message.
  __m512i x0 =
      _mm512_xor_si512(load(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(c))));
  __m512i x1 = load(data + 64), x2 = load(data + 128), x3 = load(data + 192);
  data += kStep;
  size -= kStep;
  const __m512i k2048 = wide_constants(kFold2048);
  for (; size >= kStep; data += kStep, size -= kStep) {
    x0 = _mm512_xor_si512(fold(x0, k2048), load(data));
    x1 = _mm512_xor_si512(fold(x1, k2048), load(data + 64));
    x2 = _mm512_xor_si512(fold(x2, k2048), load(data + 128));
    x3 = _mm512_xor_si512(fold(x3, k2048), load(data + 192));
  }
  const __m512i x = _mm512_xor_si512(
      _mm512_xor_si512(fold(x0, wide_constants(kFold1536)), fold(x1, wide_constants(kFold1024))),
      _mm512_xor_si512(fold(x2, wide_constants(kFold512)), x3));
  // The four 128-bit lanes, earliest first (extracted over zeros: no undefined source).
  const __m128i none = _mm_setzero_si128();
  const __m128i s =
      _mm_xor_si128(_mm_xor_si128(fold(_mm512_mask_extracti32x4_epi32(none, 0xF, x, 0), kFold384),
                                  fold(_mm512_mask_extracti32x4_epi32(none, 0xF, x, 1), kFold256)),
                    _mm_xor_si128(fold(_mm512_mask_extracti32x4_epi32(none, 0xF, x, 2), kFold128),
                                  _mm512_mask_extracti32x4_epi32(none, 0xF, x, 3)));
  uint64_t r = _mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(s)));
  r = _mm_crc32_u64(r, static_cast<uint64_t>(_mm_extract_epi64(s, 1)));
  return update_sse42(static_cast<uint32_t>(r), data, size);
}

bool has_folding() {
  return has_clmul() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
}

Update update_for(Crc32cWay way) {
  switch (way) {
    case Crc32cWay::folding: return has_folding() ? update_folding : nullptr;
    case Crc32cWay::instruction: return has_instruction() ? update_streams<false> : nullptr;
    case Crc32cWay::instruction_clmul: return has_clmul() ? update_streams<true> : nullptr;
    case Crc32cWay::table: return update_portable;
  }
  return nullptr;
}

Update chosen_update() {
  static const Update update = has_folding()       ? update_folding
                               : has_instruction() ? update_sse42
                                                   : update_portable;
  return update;
}

#else

Update update_for(Crc32cWay way) { return way == Crc32cWay::table ? update_portable : nullptr; }
Update chosen_update() { return update_portable; }

#endif

}  // namespace

uint32_t crc32c(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  return chosen_update()(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

bool crc32c_supports(Crc32cWay way) { return update_for(way) != nullptr; }

uint32_t crc32c_by(Crc32cWay way, const uint8_t* data, size_t size) {
  const Update update = update_for(way);
  if (!update || size == 0) return 0;
  return update(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

uint32_t crc32c_portable(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  return update_portable(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

}  // namespace morla::engine
