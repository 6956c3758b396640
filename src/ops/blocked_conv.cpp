#include "ops/blocked_conv.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "ops/blocked_kernels.h"
#include "ops/kernel_path.h"

namespace morla::ops::kernels {

namespace {

constexpr size_t per_group(Packing packing) {
  return packing == Packing::words ? 1 : packing == Packing::pairs ? 2 : 4;
}

// The narrowest packing that holds every value in [low, high] on `path`; bytes are unsigned
// in the dot product, so signed 8-bit values are stored with 128 added (`offset`).
Packing choose_packing(KernelPath path, int64_t low, int64_t high, uint32_t* offset) {
  *offset = 0;
  if (path == KernelPath::avx512_vnni) {
    if (low >= 0 && high <= 255) return Packing::bytes;
    if (low >= -128 && high <= 127) {
      *offset = 128;
      return Packing::bytes;
    }
  }
  if (low >= INT16_MIN && high <= INT16_MAX) return Packing::pairs;
  return Packing::words;
}

// One pixel's channels as packed 32-bit groups; channels beyond the last read zero.
template <typename V>
void pack_pixel(const V* values, size_t channels, Packing packing, uint32_t offset,
                uint32_t* groups) {
  const size_t width = per_group(packing), bits = 32 / width;
  const uint32_t mask = packing == Packing::words ? ~0u : (1u << bits) - 1;
  for (size_t c0 = 0, g = 0; c0 < channels; c0 += width, ++g) {
    uint32_t group = 0;
    for (size_t i = 0; i < width; ++i) {
      const uint32_t value = c0 + i < channels ? static_cast<uint32_t>(values[c0 + i]) + offset : offset;
      group |= (value & mask) << (i * bits);
    }
    groups[g] = group;
  }
}

struct Canvas {
  std::unique_ptr<uint32_t[]> cells;  // every cell written once by place()
  size_t x, y, groups;
};

// The input index that lands on canvas position `at`, or -1 for none.
int64_t source_index(int64_t at, const Placement& placement, int64_t offset, size_t count) {
  const int64_t from = at - offset, spread = static_cast<int64_t>(placement.spread);
  if (from < 0 || from % spread != 0 || from / spread >= static_cast<int64_t>(count)) return -1;
  return from / spread;
}

template <typename T>
Canvas place(const Image<T>& in, const Placement& placement, const Correlation& shape,
             Packing packing, uint32_t offset, size_t groups) {
  Canvas canvas{nullptr, (shape.out_x - 1) * shape.stride_x + shape.kx,
                (shape.out_y - 1) * shape.stride_y + shape.ky, groups};
  canvas.cells.reset(new uint32_t[canvas.x * canvas.y * groups]);
  std::vector<uint32_t> fill(groups, 0);
  const std::vector<int32_t> zeros(in.channels, 0);
  pack_pixel(placement.fill ? placement.fill : zeros.data(), in.channels, packing, offset, fill.data());
  std::vector<int64_t> rows(canvas.y);
  for (size_t cy = 0; cy < canvas.y; ++cy)
    rows[cy] = source_index(static_cast<int64_t>(cy), placement, placement.offset_y, in.y);
  uint32_t* cell = canvas.cells.get();
  for (size_t cx = 0; cx < canvas.x; ++cx) {
    const int64_t i = source_index(static_cast<int64_t>(cx), placement, placement.offset_x, in.x);
    for (size_t cy = 0; cy < canvas.y; ++cy, cell += groups) {
      if (i < 0 || rows[cy] < 0) {
        std::copy(fill.begin(), fill.end(), cell);
        continue;
      }
      const T* values = in.data + (static_cast<size_t>(i) * in.y + static_cast<size_t>(rows[cy])) * in.channels;
      if (packing == Packing::words) {
        std::copy(values, values + in.channels, cell);
        std::fill(cell + in.channels, cell + groups, 0u);
      } else {
        pack_pixel(values, in.channels, packing, offset, cell);
      }
    }
  }
  return canvas;
}

// Smallest and largest value the canvas will hold: the input's and the fill's.
template <typename T>
std::pair<int64_t, int64_t> value_range(const Image<T>& in, const int32_t* fill) {
  T low = 0, high = 0;  // the canvas always holds zeros or fill where no input lands
  const size_t count = in.x * in.y * in.channels;
  for (size_t i = 0; i < count; ++i) {
    low = std::min(low, in.data[i]);
    high = std::max(high, in.data[i]);
  }
  int64_t lo = low, hi = high;
  if (fill)
    for (size_t c = 0; c < in.channels; ++c) {
      lo = std::min<int64_t>(lo, fill[c]);
      hi = std::max<int64_t>(hi, fill[c]);
    }
  return {lo, hi};
}

bool fits_bytes(const int32_t* kernel, size_t count) {
  return std::all_of(kernel, kernel + count, [](int32_t w) { return w >= -128 && w <= 127; });
}

// A canvas much larger than the input and output together (strides far above the kernel
// size, pads far beyond the image) is left to the portable loops.
template <typename T>
bool canvas_reasonable(const Image<T>& in, const Correlation& shape, size_t groups) {
  const size_t canvas = ((shape.out_x - 1) * shape.stride_x + shape.kx) *
                        ((shape.out_y - 1) * shape.stride_y + shape.ky) * groups;
  const size_t data = in.x * in.y * in.channels + shape.out_x * shape.out_y * shape.filters;
  return canvas <= 4 * data + (size_t{1} << 20);
}

BlockShape block_shape(KernelPath path) {
  return path == KernelPath::avx2 ? kAvx2Block : kAvx512Block;
}

}  // namespace

template <typename T>
bool correlate_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, uint32_t* out) {
#ifdef MORLA_X86_KERNELS
  const KernelPath path = active_path();
  if (path == KernelPath::portable || placement.spread == 0) return false;
  const size_t channels = in.channels, filters = shape.filters, taps = shape.kx * shape.ky;
  // The kernels of the operations come from 8-bit weights; any wider kernel stays in words.
  const auto [low, high] = value_range(in, placement.fill);
  uint32_t offset = 0;
  Packing packing = fits_bytes(kernel, taps * channels * filters)
                        ? choose_packing(path, low, high, &offset)
                        : Packing::words;
  if (packing == Packing::bytes && path != KernelPath::avx512_vnni) packing = Packing::pairs;
  const size_t width = per_group(packing), groups = (channels + width - 1) / width;
  if (!canvas_reasonable(in, shape, groups)) return false;
  const Canvas canvas = place(in, placement, shape, packing, offset, groups);

  const BlockShape lanes = block_shape(path);
  const size_t vectors = filters > lanes.lanes ? 2 : 1, block = vectors * lanes.lanes;
  const size_t blocks = (filters + block - 1) / block;
  std::vector<uint32_t> packed(blocks * taps * groups * block, 0);
  std::vector<int32_t> column(channels);
  std::vector<uint32_t> cell(groups);
  for (size_t f = 0; f < filters; ++f) {
    uint32_t* target = packed.data() + (f / block) * taps * groups * block + f % block;
    for (size_t tap = 0; tap < taps; ++tap) {
      for (size_t c = 0; c < channels; ++c) column[c] = kernel[(tap * channels + c) * filters + f];
      pack_pixel(column.data(), channels, packing, 0, cell.data());
      for (size_t g = 0; g < groups; ++g) target[(tap * groups + g) * block] = cell[g];
    }
  }
  std::vector<uint32_t> correction;
  if (offset) {
    correction.assign(filters, 0);
    for (size_t k = 0; k < taps * channels; ++k)
      for (size_t f = 0; f < filters; ++f)
        correction[f] += offset * static_cast<uint32_t>(kernel[k * filters + f]);
  }
  const PackedCorrelation problem{canvas.cells.get(), canvas.y, groups, packed.data(), vectors,
                                  shape.kx, shape.ky, shape.stride_x, shape.stride_y, shape.out_x,
                                  shape.out_y, filters, offset ? correction.data() : nullptr, out};
  if (path == KernelPath::avx2) correlate_avx2(problem, packing);
  else if (path == KernelPath::avx512 || packing == Packing::words) correlate_avx512(problem, packing);
  else correlate_vnni(problem, packing);
  return true;
#else
  (void)in, (void)placement, (void)shape, (void)kernel, (void)out;
  return false;
#endif
}

template <typename T>
bool depthwise_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, uint32_t* out) {
#ifdef MORLA_X86_KERNELS
  const KernelPath path = active_path();
  if (path == KernelPath::portable || placement.spread == 0) return false;
  // A depthwise output reads only kx*ky values: where each canvas value feeds fewer than
  // four multiply-adds (strides or a spread above 1), placing the canvas costs more than it
  // saves and the portable loops run.
  const size_t reuse = shape.kx * shape.ky, spread = placement.spread;
  if (reuse < 4 * shape.stride_x * shape.stride_y * spread * spread) return false;
  const size_t channels = in.channels, taps = shape.kx * shape.ky, lanes = block_shape(path).lanes;
  const size_t vector_block = channels > lanes ? 2 * lanes : lanes;
  const size_t groups = (channels + vector_block - 1) / vector_block * vector_block;
  if (!canvas_reasonable(in, shape, groups)) return false;
  const Canvas canvas = place(in, placement, shape, Packing::words, 0, groups);
  std::vector<uint32_t> packed(taps * groups, 0);
  for (size_t tap = 0; tap < taps; ++tap)
    for (size_t c = 0; c < channels; ++c)
      packed[tap * groups + c] = static_cast<uint32_t>(kernel[tap * channels + c]);
  const PackedDepthwise problem{canvas.cells.get(), canvas.y, groups, packed.data(), shape.kx,
                                shape.ky, shape.stride_x, shape.stride_y, shape.out_x,
                                shape.out_y, channels, out};
  if (path == KernelPath::avx2) depthwise_avx2(problem);
  else depthwise_avx512(problem);
  return true;
#else
  (void)in, (void)placement, (void)shape, (void)kernel, (void)out;
  return false;
#endif
}

template bool correlate_blocked(const Image<int32_t>&, const Placement&, const Correlation&,
                                const int32_t*, uint32_t*);
template bool correlate_blocked(const Image<uint8_t>&, const Placement&, const Correlation&,
                                const int32_t*, uint32_t*);
template bool depthwise_blocked(const Image<int32_t>&, const Placement&, const Correlation&,
                                const int32_t*, uint32_t*);
template bool depthwise_blocked(const Image<uint8_t>&, const Placement&, const Correlation&,
                                const int32_t*, uint32_t*);

}  // namespace morla::ops::kernels
