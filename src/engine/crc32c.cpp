#include "engine/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
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

// x^(8 * bytes) modulo the polynomial: multiplying a register by it appends that many zeros.
constexpr uint32_t zeros_operator(size_t bytes) {
  uint32_t result = 1u << 31;  // x^0
  uint32_t power = 1u << 30;   // x^1
  for (size_t bits = bytes * 8; bits != 0; bits >>= 1) {
    if (bits & 1u) result = multiply(result, power);
    power = multiply(power, power);
  }
  return result;
}

// The instruction has a latency of three cycles and a throughput of one: three independent
// streams over consecutive blocks keep it busy, and are joined by appending zeros.
constexpr size_t kBlock = 4096;
constexpr uint32_t kShiftBlock = zeros_operator(kBlock);

__attribute__((target("sse4.2"))) uint32_t update_sse42(uint32_t c, const uint8_t* data,
                                                        size_t size) {
  auto word = [](const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  for (; size >= 3 * kBlock; data += 3 * kBlock, size -= 3 * kBlock) {
    uint64_t c0 = c, c1 = 0, c2 = 0;
    for (size_t i = 0; i < kBlock; i += 8) {
      c0 = _mm_crc32_u64(c0, word(data + i));
      c1 = _mm_crc32_u64(c1, word(data + kBlock + i));
      c2 = _mm_crc32_u64(c2, word(data + 2 * kBlock + i));
    }
    c = multiply(multiply(static_cast<uint32_t>(c0), kShiftBlock) ^ static_cast<uint32_t>(c1),
                 kShiftBlock) ^
        static_cast<uint32_t>(c2);
  }
  uint64_t c64 = c;
  for (; size >= 8; data += 8, size -= 8) c64 = _mm_crc32_u64(c64, word(data));
  c = static_cast<uint32_t>(c64);
  for (; size > 0; ++data, --size) c = _mm_crc32_u8(c, *data);
  return c;
}

Update chosen_update() {
  static const Update update = __builtin_cpu_supports("sse4.2") ? update_sse42 : update_portable;
  return update;
}

#else

Update chosen_update() { return update_portable; }

#endif

}  // namespace

uint32_t crc32c(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  return chosen_update()(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

uint32_t crc32c_portable(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  return update_portable(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

}  // namespace morla::engine
