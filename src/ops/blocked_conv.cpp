#include "ops/blocked_conv.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "ops/blocked_kernels.h"
#include "ops/clip.h"
#include "ops/kernel_path.h"

namespace morla::ops::kernels {

namespace {

constexpr size_t per_group(Packing packing) {
  return packing == Packing::words ? 1 : packing == Packing::pairs ? 2 : 4;
}

// The smallest and largest value placed on a canvas, 0 among them (the cells past the last
// channel hold it).
struct ValueBounds {
  int32_t low, high;
};

// The narrowest packing that holds every value in `bounds` on `path`; bytes are unsigned in
// the dot product, so signed 8-bit values are stored with 128 added (`offset`).
Packing choose_packing(KernelPath path, const ValueBounds& bounds, uint32_t* offset) {
  *offset = 0;
  if (path == KernelPath::avx512_vnni) {
    if (bounds.low >= 0 && bounds.high <= 255) return Packing::bytes;
    if (bounds.low >= -128 && bounds.high <= 127) {
      *offset = 128;
      return Packing::bytes;
    }
  }
  if (bounds.low >= INT16_MIN && bounds.high <= INT16_MAX) return Packing::pairs;
  return Packing::words;
}

bool holds(Packing packing, uint32_t offset, const ValueBounds& bounds) {
  switch (packing) {
    case Packing::words: return true;
    case Packing::pairs: return bounds.low >= INT16_MIN && bounds.high <= INT16_MAX;
    case Packing::bytes:
      return offset ? bounds.low >= -128 && bounds.high <= 127
                    : bounds.low >= 0 && bounds.high <= 255;
  }
  return false;
}

// `bounds` widened to an int32 value; uint8 values fit every packing and are not looked at.
template <typename T>
[[gnu::always_inline]] inline void widen(ValueBounds& bounds, T value) {
  if constexpr (std::is_same_v<T, int32_t>) {
    bounds.low = std::min(bounds.low, value);
    bounds.high = std::max(bounds.high, value);
  }
}

// Each value converted into cells of `cell` elements of U, the rest of each cell zero.
template <typename U, typename T, typename Convert>
[[gnu::always_inline]] inline void convert_cells(const T* src, size_t pixels, size_t channels,
                                                 size_t cell, U* out, Convert convert,
                                                 ValueBounds& seen) {
  ValueBounds bounds = seen;  // a local, so that the loops keep it in registers
  const auto take = [&](T v) {
    widen(bounds, v);
    return convert(v);
  };
  if (channels == cell) {
    for (size_t i = 0; i < pixels * channels; ++i) out[i] = take(src[i]);
  } else {
    for (size_t p = 0; p < pixels; ++p, src += channels, out += cell) {
      for (size_t c = 0; c < channels; ++c) out[c] = take(src[c]);
      for (size_t c = channels; c < cell; ++c) out[c] = 0;
    }
  }
  seen = bounds;
}

// `pixels` pixels of `channels` values each into cells of `groups` 32-bit groups, values
// beyond the last channel of a cell zero. Little-endian: value i of a group sits at bits
// i * (32 / width). `seen` is widened to the values in the same pass. Inlined into each
// multiversioned caller below.
template <typename T>
[[gnu::always_inline]] inline void pack_pixels_impl(const T* src, size_t pixels, size_t channels,
                                                    Packing packing, uint32_t offset, uint32_t* dst,
                                                    size_t groups, ValueBounds& seen) {
  const size_t cell = groups * per_group(packing);
  if (packing == Packing::words) {
    convert_cells(
        src, pixels, channels, cell, dst, [](T v) { return static_cast<uint32_t>(v); }, seen);
  } else if (packing == Packing::pairs) {
    convert_cells(
        src, pixels, channels, cell, reinterpret_cast<uint16_t*>(dst),
        [](T v) { return static_cast<uint16_t>(v); }, seen);
  } else if (groups == 1) {
    // Up to four channels (an image's colours): one word per pixel, built in a register.
    // The channel count as a constant, so that each pixel is a few loads and shifts.
    auto words = [&](auto count) {
      constexpr size_t n = decltype(count)::value;
      ValueBounds bounds = seen;
      for (size_t p = 0; p < pixels; ++p, src += n) {
        uint32_t word = 0;
        for (size_t c = 0; c < n; ++c) {
          widen(bounds, src[c]);
          word |= ((static_cast<uint32_t>(src[c]) + offset) & 0xffu) << (8 * c);
        }
        dst[p] = word;
      }
      seen = bounds;
    };
    if (channels == 1)
      words(std::integral_constant<size_t, 1>{});
    else if (channels == 2)
      words(std::integral_constant<size_t, 2>{});
    else if (channels == 3)
      words(std::integral_constant<size_t, 3>{});
    else
      words(std::integral_constant<size_t, 4>{});
  } else {
    convert_cells(
        src, pixels, channels, cell, reinterpret_cast<uint8_t*>(dst),
        [offset](T v) { return static_cast<uint8_t>(static_cast<uint32_t>(v) + offset); }, seen);
  }
}

MORLA_MULTIVERSION void pack_pixels(const int32_t* src, size_t pixels, size_t channels,
                                    Packing packing, uint32_t offset, uint32_t* dst, size_t groups,
                                    ValueBounds& seen) {
  pack_pixels_impl(src, pixels, channels, packing, offset, dst, groups, seen);
}

MORLA_MULTIVERSION void pack_pixels(const uint8_t* src, size_t pixels, size_t channels,
                                    Packing packing, uint32_t offset, uint32_t* dst, size_t groups,
                                    ValueBounds& seen) {
  pack_pixels_impl(src, pixels, channels, packing, offset, dst, groups, seen);
}

// Operands of the vector loops start on a cache line, so that no whole-vector load of a
// packed row straddles two lines.
struct FreeAligned {
  void operator()(uint32_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using AlignedWords = std::unique_ptr<uint32_t[], FreeAligned>;

AlignedWords aligned_words(size_t count) {
  return AlignedWords(new (std::align_val_t{64}) uint32_t[count]);
}

struct Canvas {
  AlignedWords cells;  // every cell written once by place()
  size_t x, y, groups;
  ValueBounds bounds;  // of the values placed and the fill
};

// The input index that lands on canvas position `at`, or -1 for none.
int64_t source_index(int64_t at, const Placement& placement, int64_t offset, size_t count) {
  const int64_t from = at - offset, spread = static_cast<int64_t>(placement.spread);
  if (from < 0 || from % spread != 0 || from / spread >= static_cast<int64_t>(count)) return -1;
  return from / spread;
}

void fill_cells(uint32_t* cells, size_t count, const std::vector<uint32_t>& fill, bool zero) {
  if (zero) {
    std::memset(cells, 0, count * fill.size() * sizeof(uint32_t));
    return;
  }
  for (size_t i = 0; i < count; ++i, cells += fill.size())
    std::copy(fill.begin(), fill.end(), cells);
}

// The input on a canvas of the correlation's size: pixel (i, j) at (i * spread + offset_x,
// j * spread + offset_y), every other cell the fill. One write per cell; the input pixels of
// a canvas row are packed in one run when they lie next to each other there. The canvas
// keeps the bounds of what it holds: where they do not fit `packing`, its cells are not
// the values.
template <typename T>
Canvas place(const Image<T>& in, const Placement& placement, const Correlation& shape,
             Packing packing, uint32_t offset, size_t groups) {
  Canvas canvas{nullptr,
                (shape.out_x - 1) * shape.stride_x + shape.kx,
                (shape.out_y - 1) * shape.stride_y + shape.ky,
                groups,
                {0, std::is_same_v<T, uint8_t> ? 255 : 0}};
  ValueBounds& seen = canvas.bounds;
  canvas.cells = aligned_words(canvas.x * canvas.y * groups);
  std::vector<uint32_t> fill(groups, 0);
  const std::vector<int32_t> zeros(in.channels, 0);
  const int32_t* fill_values = placement.fill ? placement.fill : zeros.data();
  pack_pixels(fill_values, 1, in.channels, packing, offset, fill.data(), groups, seen);
  const bool zero_fill = std::all_of(fill.begin(), fill.end(), [](uint32_t g) { return g == 0; });
  std::vector<int64_t> rows(canvas.y);
  size_t first = canvas.y, last = 0;  // canvas y range that holds input rows
  for (size_t cy = 0; cy < canvas.y; ++cy) {
    rows[cy] = source_index(static_cast<int64_t>(cy), placement, placement.offset_y, in.y);
    if (rows[cy] >= 0) first = std::min(first, cy), last = cy;
  }
  const size_t row_cells = canvas.y * groups;
  for (size_t cx = 0; cx < canvas.x; ++cx) {
    uint32_t* row = canvas.cells.get() + cx * row_cells;
    const int64_t i = source_index(static_cast<int64_t>(cx), placement, placement.offset_x, in.x);
    if (i < 0 || first > last) {
      fill_cells(row, canvas.y, fill, zero_fill);
      continue;
    }
    const T* values = in.data + static_cast<size_t>(i) * in.y * in.channels;
    fill_cells(row, first, fill, zero_fill);
    fill_cells(row + (last + 1) * groups, canvas.y - 1 - last, fill, zero_fill);
    if (placement.spread == 1) {
      pack_pixels(values + static_cast<size_t>(rows[first]) * in.channels, last - first + 1,
                  in.channels, packing, offset, row + first * groups, groups, seen);
      continue;
    }
    for (size_t cy = first; cy <= last; ++cy) {
      if (rows[cy] < 0)
        fill_cells(row + cy * groups, 1, fill, zero_fill);
      else
        pack_pixels(values + static_cast<size_t>(rows[cy]) * in.channels, 1, in.channels, packing,
                    offset, row + cy * groups, groups, seen);
    }
  }
  return canvas;
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

// The clip of `out`, as the loops apply it: none when the width holds every 32-bit value.
PackedOutput packed_output(const Output& out) {
  PackedOutput packed{out.data, out.x_step, out.y_step, false, INT32_MIN, INT32_MAX};
  if (out.bits) {
    const ClipRange range = clip_range(*out.bits);
    packed.clip = range.low > INT32_MIN || range.high < INT32_MAX;
    packed.low = static_cast<int32_t>(std::max<int64_t>(range.low, INT32_MIN));
    packed.high = static_cast<int32_t>(std::min<int64_t>(range.high, INT32_MAX));
  }
  return packed;
}

// The kernel matrix (taps * channels, filters) in the loops' order: per filter block, tap,
// channel group, then the block's filters, each group holding `width` channels.
AlignedWords pack_kernel(const int32_t* kernel, size_t taps, size_t channels, size_t filters,
                         Packing packing, size_t groups, size_t block) {
  const size_t width = per_group(packing), bits = 32 / width;
  const uint32_t mask = packing == Packing::words ? ~0u : (1u << bits) - 1;
  const size_t per_block = taps * groups * block;
  const size_t size = (filters + block - 1) / block * per_block;
  AlignedWords packed = aligned_words(size);
  std::fill_n(packed.get(), size, 0u);
  for (size_t f0 = 0; f0 < filters; f0 += block) {
    const size_t count = std::min(block, filters - f0);
    uint32_t* target = packed.get() + f0 / block * per_block;
    for (size_t tap = 0; tap < taps; ++tap)
      for (size_t c = 0; c < channels; ++c) {
        const int32_t* row = kernel + (tap * channels + c) * filters + f0;
        uint32_t* group = target + (tap * groups + c / width) * block;
        const size_t shift = (c % width) * bits;
        for (size_t f = 0; f < count; ++f)
          group[f] |= (static_cast<uint32_t>(row[f]) & mask) << shift;
      }
  }
  return packed;
}

#ifdef MORLA_X86_KERNELS
// The depthwise loops over `image` (cells of `groups` words, a whole number of vectors), the
// kernel (taps, channels) laid out with the same cell size.
void run_depthwise(KernelPath path, const uint32_t* image, size_t image_y, size_t groups,
                   const Correlation& shape, const int32_t* kernel, const Output& out) {
  const size_t taps = shape.kx * shape.ky, channels = shape.filters;
  const AlignedWords packed = aligned_words(taps * groups);
  std::fill_n(packed.get(), taps * groups, 0u);
  for (size_t tap = 0; tap < taps; ++tap)
    for (size_t c = 0; c < channels; ++c)
      packed.get()[tap * groups + c] = static_cast<uint32_t>(kernel[tap * channels + c]);
  const PackedDepthwise problem{image,       image_y,     groups,         packed.get(),
                                shape.kx,    shape.ky,    shape.stride_x, shape.stride_y,
                                shape.out_x, shape.out_y, channels,       packed_output(out)};
  if (path == KernelPath::avx2)
    depthwise_avx2(problem);
  else
    depthwise_avx512(problem);
}
#endif

// The bounds of the fill and of the input's first pixel row, which choose the packing the
// canvas is first placed in (the placing checks it against every value it places).
template <typename T>
ValueBounds first_row_bounds(const Image<T>& in, const int32_t* fill) {
  ValueBounds bounds{0, std::is_same_v<T, uint8_t> ? 255 : 0};
  for (size_t i = 0; i < in.y * in.channels; ++i) widen(bounds, in.data[i]);
  for (size_t c = 0; fill && c < in.channels; ++c) widen(bounds, fill[c]);
  return bounds;
}

}  // namespace

struct PreparedCorrelation {
  KernelPath path;
  Packing packing;
  Canvas canvas;
  AlignedWords kernel;
  std::vector<uint32_t> correction;
  PackedCorrelation problem;
};

template <typename T>
std::shared_ptr<const PreparedCorrelation> prepare_correlation(const Image<T>& in,
                                                               const Placement& placement,
                                                               const Correlation& shape,
                                                               const int32_t* kernel,
                                                               const Output& out) {
#ifdef MORLA_X86_KERNELS
  const KernelPath path = active_path();
  if (path == KernelPath::portable || placement.spread == 0) return nullptr;
  const size_t channels = in.channels, filters = shape.filters, taps = shape.kx * shape.ky;
  auto prepared = std::make_shared<PreparedCorrelation>();
  uint32_t offset = 0;
  Packing packing = choose_packing(path, first_row_bounds(in, placement.fill), &offset);
  size_t groups = 0;
  for (bool placed = false; !placed;) {
    groups = (channels + per_group(packing) - 1) / per_group(packing);
    if (!canvas_reasonable(in, shape, groups)) return nullptr;
    prepared->canvas = place(in, placement, shape, packing, offset, groups);
    placed = holds(packing, offset, prepared->canvas.bounds);
    // Placed again once at most: the bounds of every value placed choose a packing that
    // holds them.
    if (!placed) packing = choose_packing(path, prepared->canvas.bounds, &offset);
  }

  const BlockShape lanes = block_shape(path);
  const size_t vectors = filters > 2 * lanes.lanes && lanes.lanes == 16 ? 4
                         : filters > lanes.lanes                        ? 2
                                                                        : 1;
  const size_t block = vectors * lanes.lanes;
  prepared->kernel = pack_kernel(kernel, taps, channels, filters, packing, groups, block);
  std::vector<uint32_t>& correction = prepared->correction;
  if (offset) {  // offset times each filter's sum of weights
    correction.assign((filters + block - 1) / block * block, 0);
    for (size_t k = 0; k < taps * channels; ++k)
      for (size_t f = 0; f < filters; ++f)
        correction[f] += static_cast<uint32_t>(kernel[k * filters + f]);
    for (size_t f = 0; f < filters; ++f) correction[f] *= offset;
  }
  prepared->path = path;
  prepared->packing = packing;
  prepared->problem = {prepared->canvas.cells.get(),
                       prepared->canvas.y,
                       groups,
                       prepared->kernel.get(),
                       vectors,
                       shape.kx,
                       shape.ky,
                       shape.stride_x,
                       shape.stride_y,
                       shape.out_x,
                       shape.out_y,
                       filters,
                       offset ? correction.data() : nullptr,
                       packed_output(out)};
  return prepared;
#else
  (void)in, (void)placement, (void)shape, (void)kernel, (void)out;
  return nullptr;
#endif
}

void run_correlation(const PreparedCorrelation& prepared) {
#ifdef MORLA_X86_KERNELS
  if (prepared.path == KernelPath::avx2)
    correlate_avx2(prepared.problem, prepared.packing);
  else if (prepared.path == KernelPath::avx512 || prepared.packing == Packing::words)
    correlate_avx512(prepared.problem, prepared.packing);
  else
    correlate_vnni(prepared.problem, prepared.packing);
#else
  (void)prepared;
#endif
}

template <typename T>
bool correlate_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, const Output& out) {
  const auto prepared = prepare_correlation(in, placement, shape, kernel, out);
  if (prepared) run_correlation(*prepared);
  return prepared != nullptr;
}

template <typename T>
bool depthwise_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, const Output& out) {
#ifdef MORLA_X86_KERNELS
  const KernelPath path = active_path();
  if (path == KernelPath::portable || placement.spread == 0) return false;
  // A depthwise output reads only kx*ky values: where each canvas value feeds fewer than
  // four multiply-adds (strides or a spread above 1), placing the canvas costs more than it
  // saves and the portable loops run.
  const size_t reuse = shape.kx * shape.ky, spread = placement.spread;
  if (reuse < 4 * shape.stride_x * shape.stride_y * spread * spread) return false;
  const size_t channels = in.channels, lanes = block_shape(path).lanes;
  const size_t vector_block = channels > lanes ? 2 * lanes : lanes;
  const size_t groups = (channels + vector_block - 1) / vector_block * vector_block;
  if (!canvas_reasonable(in, shape, groups)) return false;
  const Canvas canvas = place(in, placement, shape, Packing::words, 0, groups);
  run_depthwise(path, canvas.cells.get(), canvas.y, groups, shape, kernel, out);
  return true;
#else
  (void)in, (void)placement, (void)shape, (void)kernel, (void)out;
  return false;
#endif
}

bool depthwise_inside(const int32_t* origin, size_t image_y, size_t channels,
                      const Correlation& shape, const int32_t* kernel, const Output& out) {
#ifdef MORLA_X86_KERNELS
  const KernelPath path = active_path();
  if (path == KernelPath::portable || channels % block_shape(path).lanes != 0) return false;
  run_depthwise(path, reinterpret_cast<const uint32_t*>(origin), image_y, channels, shape, kernel,
                out);
  return true;
#else
  (void)origin, (void)image_y, (void)channels, (void)shape, (void)kernel, (void)out;
  return false;
#endif
}

template bool correlate_blocked(const Image<int32_t>&, const Placement&, const Correlation&,
                                const int32_t*, const Output&);
template bool correlate_blocked(const Image<uint8_t>&, const Placement&, const Correlation&,
                                const int32_t*, const Output&);
template std::shared_ptr<const PreparedCorrelation> prepare_correlation(
    const Image<int32_t>&, const Placement&, const Correlation&, const int32_t*, const Output&);
template bool depthwise_blocked(const Image<int32_t>&, const Placement&, const Correlation&,
                                const int32_t*, const Output&);
template bool depthwise_blocked(const Image<uint8_t>&, const Placement&, const Correlation&,
                                const int32_t*, const Output&);

}  // namespace morla::ops::kernels
