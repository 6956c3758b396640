#include "contract/hrc_weights.h"

#include <stdexcept>
#include <string>

#include "engine_api/tensor.h"

namespace morla {
namespace {

constexpr uint32_t kLineWords = 3;
constexpr uint32_t kLineBits = 72;           // nine 8-bit weights
constexpr uint32_t kKernel4SecondBits = 56;  // a 4x4 kernel's second line holds seven
constexpr uint32_t kKernel3GroupWords = 576;
constexpr uint32_t kKernel3MaxLines = 575;

// Where the next line of weights goes.
class LinePlacement {
 public:
  LinePlacement(uint32_t kernel, bool per_channel) : kernel_(kernel), per_channel_(per_channel) {}

  void start(uint32_t buffer) {
    buffer_ = buffer;
    position_ = 0;
  }
  void next_line() {
    if (per_channel_) {
      position_ += kLineWords;
    } else if (kernel_ == 3) {
      position_ += kLineWords;
      if (position_ == kKernel3GroupWords) {
        position_ = 0;
        ++buffer_;
      }
    } else if (kernel_ == 4) {
      if (buffer_ == 1) position_ += kLineWords;
      buffer_ = buffer_ == 0 ? 1 : 0;
    } else {
      if (buffer_ == 2) position_ += kLineWords;
      buffer_ = (buffer_ + 1) % 3;
    }
  }
  uint32_t buffer() const { return buffer_; }
  uint32_t position() const { return position_; }

 private:
  uint32_t kernel_;
  bool per_channel_;
  uint32_t buffer_ = 0;
  uint32_t position_ = 0;
};

struct WeightLayout {
  uint32_t kernel, channels, filters;
  std::vector<uint32_t> strides;
  bool reversed;

  size_t offset(uint32_t y, uint32_t x, uint32_t c, uint32_t f) const {
    if (reversed)
      return size_t{f} * strides[0] + size_t{c} * strides[1] + size_t{x} * strides[2] +
             size_t{y} * strides[3];
    return size_t{y} * strides[0] + size_t{x} * strides[1] + size_t{c} * strides[2] +
           size_t{f} * strides[3];
  }
};

WeightLayout read_layout(const Dense& weights) {
  const Shape shape = weights.shape();
  const TensorType type = weights.type();
  if (type != TensorType::int8 && type != TensorType::uint8)
    throw std::invalid_argument("HRC weights must be an 8-bit tensor.");
  if (shape.size() != 4) throw std::invalid_argument("HRC weights must have four dimensions.");
  WeightLayout layout;
  layout.reversed = weights.layout() == Dense::Layout::ColMajor;
  layout.kernel = layout.reversed ? shape[2] : shape[1];
  layout.channels = layout.reversed ? shape[1] : shape[2];
  layout.filters = layout.reversed ? shape[0] : shape[3];
  layout.strides = weights.strides();
  if (layout.strides.size() != 4)
    throw std::invalid_argument("HRC weights must have four strides.");
  if (layout.kernel == 0 || layout.channels == 0 || layout.filters == 0) return layout;
  const size_t last =
      layout.offset(layout.kernel - 1, layout.kernel - 1, layout.channels - 1, layout.filters - 1);
  if (last >= weights.size())
    throw std::invalid_argument("HRC weights: the dimensions exceed the tensor's elements.");
  return layout;
}

std::vector<std::vector<uint32_t>> sized_buffers(uint32_t kernel, uint32_t channels,
                                                 uint32_t lines) {
  std::vector<std::vector<uint32_t>> buffers(3);
  if (channels == 3) {
    for (auto& buffer : buffers) buffer.assign(size_t{kLineWords} * lines, 0);
  } else if (kernel == 3) {
    const uint32_t full = lines / 192;
    for (uint32_t b = 0; b < full; ++b) buffers[b].assign(kKernel3GroupWords, 0);
    buffers[full].assign(kLineWords * (lines % 192), 0);
  } else if (kernel == 4) {
    buffers[0].assign(kLineWords * (lines / 2) + (lines % 2 ? kLineWords : 0), 0);
    buffers[1].assign(kLineWords * (lines / 2), 0);
  } else {
    const uint32_t rest = lines % 3;
    buffers[0].assign(kLineWords * (lines / 3) + (rest >= 1 ? kLineWords : 0), 0);
    buffers[1].assign(kLineWords * (lines / 3) + (rest == 2 ? kLineWords : 0), 0);
    buffers[2].assign(kLineWords * (lines / 3), 0);
  }
  return buffers;
}

}  // namespace

std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights) {
  const WeightLayout layout = read_layout(weights);
  const uint32_t k = layout.kernel;
  const uint32_t channels = layout.channels;
  const uint32_t lines = ((k * k + 8) / 9) * layout.filters;
  if (channels != 3) {
    if (k != 3 && k != 4 && k != 5 && k != 7 && k != 16)
      throw std::runtime_error("Wrong kernel_size at HRC recording.");
    if (k == 3 && lines > kKernel3MaxLines)
      throw std::runtime_error("Too many lines on HRC weight formatting with the 3-kernel.");
  }
  // The HRC takes one or three input channels; others have no buffer layout.
  if (channels != 1 && channels != 3)
    throw std::runtime_error("HRC weights need 1 or 3 input channels, got " +
                             std::to_string(channels) + ".");

  std::vector<std::vector<uint32_t>> buffers = sized_buffers(k, channels, lines);
  const auto* bytes = static_cast<const uint8_t*>(weights.buffer().data());
  LinePlacement place(k, channels == 3);
  for (uint32_t c = 0; c < channels; ++c) {
    place.start(c);
    uint32_t bit = 0;
    for (uint32_t f = 0; f < layout.filters; ++f) {
      if (bit != 0) {
        place.next_line();
        bit = 0;
      }
      for (uint32_t y = 0; y < k; ++y) {
        for (uint32_t x = 0; x < k; ++x) {
          const bool short_line =
              k == 4 && channels != 3 && place.buffer() == 1 && bit == kKernel4SecondBits;
          if (bit == kLineBits || short_line) {
            place.next_line();
            bit = 0;
          }
          std::vector<uint32_t>& buffer = buffers.at(place.buffer());
          const size_t word = place.position() + bit / 32;
          if (word >= buffer.size()) throw std::logic_error("HRC weight line outside its buffer.");
          buffer[word] |= uint32_t{bytes[layout.offset(y, x, c, f)]} << (bit % 32);
          bit += 8;
        }
      }
    }
  }
  return buffers;
}

}  // namespace morla
