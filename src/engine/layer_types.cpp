// The table of layer types: keys, generations, targets and builders, in one place.
#include "engine/layer_types.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/engine_layer.h"
#include "engine/layer_arithmetic.h"
#include "engine/patch_windows.h"
#include "ops/padding.h"

namespace morla::engine {

namespace {

using L = Dense::Layout;

// ---- Key ranges -----------------------------------------------------------------------

constexpr int kMaxSize = 65535;

KeyInfo required(const char* name, int min, int max) { return {name, min, max, std::nullopt}; }
KeyInfo optional(const char* name, int min, int max, int value) { return {name, min, max, value}; }

KeyInfo size_key(const char* name) { return required(name, 1, kMaxSize); }
KeyInfo stride_key(const char* name, int value = 1) { return optional(name, 1, 255, value); }
// -1: global pooling (sizes) or the pooling size (strides).
KeyInfo pool_key(const char* name, int value) { return optional(name, -1, 255, value); }
KeyInfo padding_key() { return optional("padding", 0, 2, static_cast<int>(Padding::Same)); }
KeyInfo pool_type_key() {
  return optional("pool_type", 0, 2, static_cast<int>(PoolType::NoPooling));
}
KeyInfo activation_key(ActivationType value = ActivationType::ReLU) {
  return optional("activation", 0, 2, static_cast<int>(value));
}
KeyInfo weights_bits_key(int value) { return optional("weights_bits", 1, 8, value); }
KeyInfo act_bits_key() { return optional("act_bits", 1, 8, 1); }
KeyInfo output_bits_key(int value = 8) { return optional("output_bits", 1, 32, value); }

std::vector<KeyInfo> input_shape_keys() {
  return {size_key("input_width"), size_key("input_height"), size_key("input_channels")};
}

std::vector<KeyInfo> join(std::vector<KeyInfo> a, const std::vector<KeyInfo>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- Building helpers -------------------------------------------------------------------

[[noreturn]] void refuse(const EngineLayer& layer, const std::string& why) {
  throw std::invalid_argument("Cannot build layer '" + layer.name() + "' (" + layer.info().name +
                              "): " + why);
}

const Shape& single_input(const EngineLayer& layer) {
  const auto& shapes = layer.input_shapes();
  if (shapes.size() != 1) refuse(layer, "it takes exactly one inbound layer.");
  return shapes.front();
}

// A size computation of ops that refuses what does not fit 32 bits, as a refusal of the layer.
template <typename Compute, typename... Args>
uint32_t checked(const EngineLayer& layer, Compute compute, Args... args) {
  try {
    return compute(args...);
  } catch (const std::invalid_argument& e) {
    refuse(layer, e.what());
  }
}

// The element count of the single input, as the input count of a dense layer.
uint32_t input_count(const EngineLayer& layer) {
  const uint64_t count = single_input(layer).element_count();
  return checked(layer, ops::checked_size, count, "input element count");
}

uint32_t u(int value) { return static_cast<uint32_t>(value); }
uint32_t clamp_pad(int32_t pad) { return pad > 0 ? static_cast<uint32_t>(pad) : 0u; }

// Element type of "weights" for a weight width: bit, int2, int4 or int8.
TensorType weight_type(int bits) {
  if (bits <= 1) return TensorType::bit;
  if (bits == 2) return TensorType::int2;
  if (bits <= 4) return TensorType::int4;
  return TensorType::int8;
}

void create(EngineLayer& layer, const char* name, TensorType type, const Shape& shape,
            L layout = L::RowMajor) {
  layer.variable_store().create(name, type, shape, layout);
}

// Per-output-channel variables of the v2 and Mote layers.
void create_neuron_variables(EngineLayer& layer, uint32_t n) {
  layer.create_scale_shift("output", n);
  layer.create_value_shift("bias", n);
  layer.create_activation_variables(n);
}

struct WindowKeys {
  uint32_t kernel_x, kernel_y;
  int stride_x, stride_y;
  int pool_x, pool_y;                // -1: global
  int pool_stride_x, pool_stride_y;  // below 0: the pool size
};

WindowKeys v1_window_keys(const EngineLayer& l) {
  return {u(l.param("kernel_width")),  u(l.param("kernel_height")), l.param("stride_x"),
          l.param("stride_y"),         l.param("pooling_width"),    l.param("pooling_height"),
          l.param("pooling_stride_x"), l.param("pooling_stride_y")};
}

WindowKeys v2_window_keys(const EngineLayer& l) {
  const uint32_t k = u(l.param("kernel_size"));
  const int stride = l.param("kernel_stride");
  const int pool = l.param("pool_size");
  const int pool_stride = l.params()->has("pool_stride") ? l.param("pool_stride") : pool;
  return {k, k, stride, stride, pool, pool, pool_stride, pool_stride};
}

// Convolution then pooling: sets the records of a windowed layer and returns the
// unpooled and the pooled output size.
struct WindowResult {
  uint32_t conv_x, conv_y, out_x, out_y;
  ops::PaddingInfo conv;
};

// Window geometry of the layer's convolution or pooling; an impossible window refuses the
// layer.
ops::PaddingInfo window(const EngineLayer& layer, uint32_t kernel_x, uint32_t kernel_y,
                        int stride_x, int stride_y, Padding mode, const Shape& input) {
  try {
    return ops::compute_padding(kernel_x, kernel_y, stride_x, stride_y, mode, input);
  } catch (const std::exception& e) {
    refuse(layer, e.what());
  }
}

WindowRecord::Padding record_padding(const ops::PaddingInfo& g) {
  return {clamp_pad(g.pad_y_before), clamp_pad(g.pad_y_after), clamp_pad(g.pad_x_before),
          clamp_pad(g.pad_x_after)};
}

// Max pooling places its windows as Keras pads: Same for Same and SameUpper layers alike
// (SameUpper's own windows leave the last row of an even size unread and can hold only
// padding). Every window then holds a real value, and the pads are never negative, so the
// pooling record is the whole geometry that the run uses.
Padding pooling_padding(Padding layer_padding) {
  return layer_padding == Padding::Valid ? Padding::Valid : Padding::Same;
}

WindowResult build_window(EngineLayer& layer, const Shape& input, const WindowKeys& k) {
  if (k.stride_x < 1 || k.stride_y < 1) refuse(layer, "convolution strides must be at least 1.");
  const auto mode = static_cast<Padding>(layer.param("padding"));
  const auto conv = window(layer, k.kernel_x, k.kernel_y, k.stride_x, k.stride_y, mode, input);
  WindowRecord record;
  record.conv = {k.kernel_x, k.kernel_y, u(k.stride_x), u(k.stride_y),       input[0],
                 input[1],   conv.out_x, conv.out_y,    record_padding(conv)};
  record.pool.out_x = conv.out_x;
  record.pool.out_y = conv.out_y;
  WindowResult result{conv.out_x, conv.out_y, conv.out_x, conv.out_y, conv};
  if (layer.has_pooling()) {
    if (k.pool_x == -1) {
      record.pool.out_x = record.pool.out_y = 1;
      record.pool.global = true;
      result.out_x = result.out_y = 1;
    } else {
      if (k.pool_x < 1 || k.pool_y < 1) refuse(layer, "pooling sizes must be at least 1 or -1.");
      const int sx = k.pool_stride_x < 0 ? k.pool_x : k.pool_stride_x;
      const int sy = k.pool_stride_y < 0 ? k.pool_y : k.pool_stride_y;
      if (sx < 1 || sy < 1) refuse(layer, "pooling strides must be at least 1.");
      const auto pool = window(layer, u(k.pool_x), u(k.pool_y), sx, sy, pooling_padding(mode),
                               Shape{conv.out_x, conv.out_y});
      record.pool = {u(sx), u(sy), pool.out_x, pool.out_y, record_padding(pool), false};
      result.out_x = pool.out_x;
      result.out_y = pool.out_y;
    }
  }
  static_cast<WindowedLayer&>(layer).set_record(record);
  return result;
}

// The HRC of IP v2 has no rule for an input convolution whose padded input holds other than
// out_x by out_y windows (its checks refuse every such geometry), so InputConv2D refuses it
// when built. InputConvolutional keeps it: the v1 HRC maps it (only its software run refuses).
void require_patch_windows(const EngineLayer& layer, const Shape& input, const WindowKeys& k,
                           const ops::PaddingInfo& g) {
  const auto misfit = patch_window_misfit(static_cast<Padding>(layer.param("padding")), k.kernel_x,
                                          k.kernel_y, input, g);
  if (misfit)
    refuse(layer, *misfit +
                      "; the input convolution computes one output per window (Same and Valid "
                      "padding always fit).");
}

uint64_t conv_macs(const WindowResult& w, const WindowKeys& k, uint64_t per_position) {
  return uint64_t{w.conv_x} * w.conv_y * k.kernel_x * k.kernel_y * per_position;
}

// ---- Builders, one per layer type ---------------------------------------------------------

void build_input_data(EngineLayer& l) { l.set_output(single_input(l), 0); }

void build_input_convolutional(EngineLayer& l) {
  const Shape& in = single_input(l);
  const WindowKeys k = v1_window_keys(l);
  const uint32_t f = u(l.param("filters"));
  const WindowResult w = build_window(l, in, k);
  // The HRC keeps 8-bit weights whatever the layer's weight width.
  create(l, "weights", TensorType::int8, Shape{k.kernel_y, k.kernel_x, in[2], f});
  l.create_activation_variables(f);
  l.set_output(Shape{w.out_x, w.out_y, f}, conv_macs(w, k, uint64_t{in[2]} * f));
}

void build_fully_connected(EngineLayer& l) {
  const uint32_t inputs = input_count(l);
  const uint32_t units = u(l.param("units"));
  create(l, "weights", weight_type(l.param("weights_bits")), Shape{units, inputs}, L::ColMajor);
  l.create_activation_variables(units);
  l.set_output(Shape{1, 1, units}, uint64_t{inputs} * units);
}

void build_convolutional(EngineLayer& l) {
  const Shape& in = single_input(l);
  const WindowKeys k = v1_window_keys(l);
  const uint32_t f = u(l.param("filters"));
  const WindowResult w = build_window(l, in, k);
  create(l, "weights", weight_type(l.param("weights_bits")),
         Shape{f, in[2], k.kernel_y, k.kernel_x}, L::ColMajor);
  l.create_activation_variables(f);
  l.set_output(Shape{w.out_x, w.out_y, f}, conv_macs(w, k, uint64_t{in[2]} * f));
}

void build_separable_convolutional(EngineLayer& l) {
  const Shape& in = single_input(l);
  const WindowKeys k = v1_window_keys(l);
  const uint32_t f = u(l.param("filters"));
  const WindowResult w = build_window(l, in, k);
  const TensorType type = weight_type(l.param("weights_bits"));
  create(l, "weights", type, Shape{1, in[2], k.kernel_y, k.kernel_x}, L::ColMajor);
  create(l, "weights_pw", type, Shape{f, in[2]}, L::ColMajor);
  l.create_activation_variables(f);
  const uint64_t pointwise = uint64_t{w.conv_x} * w.conv_y * in[2] * f;
  l.set_output(Shape{w.out_x, w.out_y, f}, conv_macs(w, k, in[2]) + pointwise);
}

void build_add(EngineLayer& l) {
  const auto& shapes = l.input_shapes();
  if (shapes.size() < 2) refuse(l, "it takes at least two inbound layers.");
  for (const auto& shape : shapes)
    if (shape != shapes.front()) refuse(l, "its inputs must have the same shape.");
  const uint32_t c = shapes.front()[2];
  l.create_unsigned("a_shift", c);
  l.create_unsigned("b_shift", c);
  create(l, "output_shift", TensorType::int8, Shape{c});
  l.set_output(shapes.front(), 0);
}

void build_concatenate(EngineLayer& l) {
  const auto& shapes = l.input_shapes();
  if (shapes.size() < 2) refuse(l, "it takes at least two inbound layers.");
  uint32_t channels = 0;
  for (const auto& shape : shapes) {
    if (shape[0] != shapes.front()[0] || shape[1] != shapes.front()[1])
      refuse(l, "its inputs must have the same width and height.");
    channels += shape[2];
  }
  l.set_output(Shape{shapes.front()[0], shapes.front()[1], channels}, 0);
}

// Conv2D and InputConv2D: (k, k, C, F) weights.
void build_standard_conv2d(EngineLayer& l, bool input_shift) {
  const Shape& in = single_input(l);
  const WindowKeys k = v2_window_keys(l);
  const uint32_t f = u(l.param("filters"));
  const WindowResult w = build_window(l, in, k);
  if (input_shift) {
    l.create_unsigned("input_shift", in[2]);
  } else {
    require_patch_windows(l, in, k, w.conv);
    l.create_unsigned("padding_value", in[2]);
  }
  // InputConv2D runs on the HRC, which keeps 8-bit weights.
  const TensorType type = input_shift ? weight_type(l.param("weights_bits")) : TensorType::int8;
  create(l, "weights", type, Shape{k.kernel_x, k.kernel_x, in[2], f});
  create_neuron_variables(l, f);
  l.set_output(Shape{w.out_x, w.out_y, f}, conv_macs(w, k, uint64_t{in[2]} * f));
}

void build_conv2d(EngineLayer& l) { build_standard_conv2d(l, true); }
void build_input_conv2d(EngineLayer& l) { build_standard_conv2d(l, false); }

void build_depthwise_conv2d(EngineLayer& l) {
  const Shape& in = single_input(l);
  const WindowKeys k = v2_window_keys(l);
  const uint32_t c = in[2];
  const WindowResult w = build_window(l, in, k);
  l.create_unsigned("input_shift", c);
  create(l, "weights", weight_type(l.param("weights_bits")), Shape{k.kernel_x, k.kernel_x, 1, c});
  create_neuron_variables(l, c);
  l.set_output(Shape{w.out_x, w.out_y, c}, conv_macs(w, k, c));
}

// Transposed convolutions upsample by the stride; no records.
void build_transpose(EngineLayer& l, bool depthwise) {
  const Shape& in = single_input(l);
  const uint32_t k = u(l.param("kernel_size"));
  const uint32_t stride = u(l.param("kernel_stride"));
  const uint32_t c = in[2];
  const uint32_t f = depthwise ? c : u(l.param("filters"));
  l.create_unsigned("input_shift", c);
  create(l, "weights", weight_type(l.param("weights_bits")), Shape{k, k, depthwise ? 1 : c, f});
  create_neuron_variables(l, f);
  const uint64_t per_input = uint64_t{k} * k * f * (depthwise ? 1 : c);
  l.set_output(Shape{checked(l, ops::transpose_output_size, in[0], stride),
                     checked(l, ops::transpose_output_size, in[1], stride), f},
               uint64_t{in[0]} * in[1] * per_input);
}

void build_conv2d_transpose(EngineLayer& l) { build_transpose(l, false); }
void build_depthwise_conv2d_transpose(EngineLayer& l) { build_transpose(l, true); }

void build_dense1d(EngineLayer& l) {
  const uint32_t inputs = input_count(l);
  const uint32_t units = u(l.param("units"));
  l.create_unsigned("input_shift", inputs);
  create(l, "weights", weight_type(l.param("weights_bits")), Shape{inputs, units});
  create_neuron_variables(l, units);
  l.set_output(Shape{1, 1, units}, uint64_t{inputs} * units);
}

void build_buffer_temp_conv(EngineLayer& l, bool depthwise) {
  const Shape& in = single_input(l);
  const uint32_t fifo = u(l.param("fifo_size"));
  const uint32_t c = in[2];
  const uint32_t f = depthwise ? c : u(l.param("filters"));
  l.create_unsigned("input_shift", c);
  const Shape weights = depthwise ? Shape{1, 1, fifo, c} : Shape{1, 1, fifo * c, f};
  create(l, "weights", weight_type(l.param("weights_bits")), weights);
  create_neuron_variables(l, f);
  const uint64_t positions = uint64_t{in[0]} * in[1];
  l.set_output(Shape{in[0], in[1], f}, positions * fifo * (depthwise ? c : uint64_t{c} * f));
}

void build_buffer_temp_conv(EngineLayer& l) { build_buffer_temp_conv(l, false); }
void build_depthwise_buffer_temp_conv(EngineLayer& l) { build_buffer_temp_conv(l, true); }

// Input (x, timesteps, channels) to (x, ceil(timesteps / subsample), output_channels).
void build_stateful_recurrent(EngineLayer& l) {
  const Shape& in = single_input(l);
  const uint32_t s = u(l.param("stateful_channels"));
  const uint32_t o = u(l.param("output_channels"));
  const uint32_t subsample = u(l.param("subsample"));
  const uint32_t c = in[2];
  create(l, "in_proj", TensorType::int8, Shape{s, c});
  create(l, "out_proj", TensorType::int8, Shape{o, s});
  create(l, "A_real", TensorType::int16, Shape{s});
  create(l, "A_imag", TensorType::int16, Shape{s});
  create(l, "internal_state_outputs_shift", TensorType::int8, Shape{s});
  create(l, "new_state_shift", TensorType::int8, Shape{s});
  l.create_unsigned("new_state_scale", s);
  l.create_unsigned("input_shift", c);
  create_neuron_variables(l, o);
  const uint32_t steps = (in[1] + subsample - 1) / subsample;
  l.set_output(Shape{in[0], steps, o},
               uint64_t{in[0]} * in[1] * (uint64_t{s} * c + uint64_t{o} * s + s));
}

void build_mote_post_processing(EngineLayer& l) {
  const Shape& in = single_input(l);
  create(l, "threshold", TensorType::uint16, Shape{1});
  create(l, "input_scales", TensorType::uint16, Shape{in[2]});
  create(l, "input_shift", TensorType::int8, Shape{in[2]});
  l.set_output(Shape{in[0], 1, in[2]}, 0);
}

void build_quantizer(EngineLayer& l) {
  const Shape& in = single_input(l);
  create(l, "scales", TensorType::float32, Shape{in[2]});
  create(l, "zero_points", TensorType::int32, Shape{in[2]});
  l.set_output(in, 0);
}

void build_dequantizer(EngineLayer& l) {
  const Shape& in = single_input(l);
  create(l, "scales", TensorType::float32, Shape{in[2]});
  l.set_output(in, 0);
}

// ---- The table -------------------------------------------------------------------------------

std::vector<KeyInfo> v1_window_keys() {
  return {size_key("kernel_width"),
          size_key("kernel_height"),
          stride_key("stride_x"),
          stride_key("stride_y"),
          padding_key(),
          pool_type_key(),
          pool_key("pooling_width", 1),
          pool_key("pooling_height", 1),
          pool_key("pooling_stride_x", -1),
          pool_key("pooling_stride_y", -1)};
}

std::vector<KeyInfo> v2_window_keys() {
  return {size_key("kernel_size"), stride_key("kernel_stride"), padding_key(), pool_type_key(),
          pool_key("pool_size", 1)};
}

std::vector<KeyInfo> v2_neuron_keys() {
  return {weights_bits_key(8), activation_key(), output_bits_key()};
}

// ---- Output signedness -----------------------------------------------------------------------

bool signed_by_input_key(const EngineLayer& l) { return l.param("input_signed") != 0; }
bool signed_by_output_key(const EngineLayer& l) { return l.param("output_signed") != 0; }
bool always_signed(const EngineLayer&) { return true; }
bool never_signed(const EngineLayer&) { return false; }
// Potentials are signed; activations are levels from 0.
bool signed_without_activation(const EngineLayer& l) { return !l.has_activation(); }
bool signed_when_an_input_is(const EngineLayer& l) {
  const auto ins = l.inbounds();
  return std::any_of(ins.begin(), ins.end(), [](const auto& in) { return in->output_signed(); });
}

const std::vector<LayerTypeInfo>& table() {
  using C = ComponentKind;
  using I = IpVersion;
  static const std::vector<LayerTypeInfo> infos = {
      {.type = LayerType::InputData,
       .name = "InputData",
       .input_layer = true,
       .own_input_shape = true,
       .keys = join(input_shape_keys(),
                    {optional("input_bits", 1, 16, 8), optional("input_signed", 0, 1, 0)}),
       .build = build_input_data,
       .runner = runners::pass_through,
       .output_signed = signed_by_input_key},
      {.type = LayerType::InputConvolutional,
       .name = "InputConvolutional",
       .ip = I::v1,
       .target = C::HRC,
       .input_layer = true,
       .own_input_shape = true,
       .windowed = true,
       .keys = join(join(input_shape_keys(), v1_window_keys()),
                    {size_key("filters"), weights_bits_key(8), optional("padding_value", 0, 255, 0),
                     activation_key(), act_bits_key()}),
       .build = build_input_convolutional,
       .runner = runners::input_convolutional,
       .output_signed = signed_without_activation},
      {.type = LayerType::FullyConnected,
       .name = "FullyConnected",
       .ip = I::v1,
       .target = C::FNP,
       .splittable = true,
       .keys = {size_key("units"), weights_bits_key(1), activation_key(), act_bits_key()},
       .build = build_fully_connected,
       .runner = runners::fully_connected,
       .output_signed = signed_without_activation},
      {.type = LayerType::Convolutional,
       .name = "Convolutional",
       .ip = I::v1,
       .target = C::CNP,
       .splittable = true,
       .windowed = true,
       .keys = join(v1_window_keys(),
                    {size_key("filters"), weights_bits_key(4), activation_key(), act_bits_key()}),
       .build = build_convolutional,
       .runner = runners::convolutional,
       .output_signed = signed_without_activation},
      {.type = LayerType::SeparableConvolutional,
       .name = "SeparableConvolutional",
       .ip = I::v1,
       .target = C::CNP,
       .splittable = true,
       .windowed = true,
       .keys = join(v1_window_keys(),
                    {size_key("filters"), weights_bits_key(4), activation_key(), act_bits_key()}),
       .build = build_separable_convolutional,
       .runner = runners::separable,
       .output_signed = signed_without_activation},
      {.type = LayerType::Add,
       .name = "Add",
       .target = C::SKIP_DMA,
       .keys = {output_bits_key()},
       .build = build_add,
       .runner = runners::add,
       .output_signed = signed_when_an_input_is},
      {.type = LayerType::Concatenate,
       .name = "Concatenate",
       .target = C::SKIP_DMA,
       .keys = {output_bits_key()},
       .build = build_concatenate,
       .runner = runners::concatenate,
       .output_signed = signed_when_an_input_is},
      {.type = LayerType::Conv2D,
       .name = "Conv2D",
       .ip = I::v2,
       .target = C::CNP,
       .splittable = true,
       .windowed = true,
       .keys = join(join(v2_window_keys(), {size_key("filters")}), v2_neuron_keys()),
       .build = build_conv2d,
       .runner = runners::conv2d,
       .output_signed = signed_without_activation},
      {.type = LayerType::InputConv2D,
       .name = "InputConv2D",
       .ip = I::v2,
       .target = C::HRC,
       .input_layer = true,
       .own_input_shape = true,
       .windowed = true,
       .keys = join(join(input_shape_keys(), v2_window_keys()),
                    join({size_key("filters"), pool_key("pool_stride", -1)}, v2_neuron_keys())),
       .build = build_input_conv2d,
       .runner = runners::input_conv2d,
       .output_signed = signed_without_activation},
      {.type = LayerType::DepthwiseConv2D,
       .name = "DepthwiseConv2D",
       .ip = I::v2,
       .target = C::CNP,
       .channel_wise = true,
       .splittable = true,
       .windowed = true,
       .keys = join(v2_window_keys(), v2_neuron_keys()),
       .build = build_depthwise_conv2d,
       .runner = runners::depthwise_conv2d,
       .output_signed = signed_without_activation},
      {.type = LayerType::Conv2DTranspose,
       .name = "Conv2DTranspose",
       .ip = I::v2,
       .target = C::CNP,
       .splittable = true,
       .keys = join({size_key("kernel_size"), stride_key("kernel_stride", 2), padding_key(),
                     size_key("filters")},
                    v2_neuron_keys()),
       .build = build_conv2d_transpose,
       .runner = runners::conv2d_transpose,
       .output_signed = signed_without_activation},
      {.type = LayerType::Dequantizer,
       .name = "Dequantizer",
       .keys = {},
       .build = build_dequantizer,
       .runner = runners::dequantizer,
       .output_signed = always_signed},
      {.type = LayerType::DepthwiseConv2DTranspose,
       .name = "DepthwiseConv2DTranspose",
       .ip = I::v2,
       .target = C::CNP,
       .channel_wise = true,
       .splittable = true,
       .keys = join({size_key("kernel_size"), stride_key("kernel_stride", 2), padding_key()},
                    v2_neuron_keys()),
       .build = build_depthwise_conv2d_transpose,
       .runner = runners::depthwise_conv2d_transpose,
       .output_signed = signed_without_activation},
      {.type = LayerType::BufferTempConv,
       .name = "BufferTempConv",
       .ip = I::v2,
       .target = C::TNP_B,
       .splittable = true,
       .keys = join({required("fifo_size", 1, 14), size_key("filters")}, v2_neuron_keys()),
       .build = build_buffer_temp_conv,
       .runner = runners::buffer_temp_conv,
       .output_signed = signed_without_activation},
      {.type = LayerType::DepthwiseBufferTempConv,
       .name = "DepthwiseBufferTempConv",
       .ip = I::v2,
       .target = C::TNP_B,
       .channel_wise = true,
       .splittable = true,
       .keys = join({required("fifo_size", 1, 14)}, v2_neuron_keys()),
       .build = build_depthwise_buffer_temp_conv,
       .runner = runners::depthwise_buffer_temp_conv,
       .output_signed = signed_without_activation},
      {.type = LayerType::Dense1D,
       .name = "Dense1D",
       .ip = I::v2,
       .target = C::FNP,
       .splittable = true,
       .keys = join({size_key("units")}, v2_neuron_keys()),
       .build = build_dense1d,
       .runner = runners::dense1d,
       .output_signed = signed_without_activation},
      {.type = LayerType::StatefulRecurrent,
       .name = "StatefulRecurrent",
       .ip = I::mote,
       .target = C::TNP_R,
       .keys = {size_key("stateful_channels"), size_key("output_channels"), stride_key("subsample"),
                activation_key(ActivationType::NoActivation), output_bits_key()},
       .build = build_stateful_recurrent,
       .runner = runners::stateful_recurrent,
       .output_signed = signed_without_activation},
      {.type = LayerType::Quantizer,
       .name = "Quantizer",
       .own_input_shape = true,
       .keys = join(input_shape_keys(), {output_bits_key(), optional("output_signed", 0, 1, 1)}),
       .build = build_quantizer,
       .runner = runners::quantizer,
       .output_signed = signed_by_output_key},
      // The TNP-R runs the post-processing as the last layer of its chain.
      {.type = LayerType::MotePostProcessing,
       .name = "MotePostProcessing",
       .ip = I::mote,
       .target = C::TNP_R,
       .keys = {output_bits_key(1)},
       .build = build_mote_post_processing,
       .runner = runners::mote_post_processing,
       .output_signed = never_signed},
  };
  return infos;
}

}  // namespace

std::map<std::string, int> LayerTypeInfo::complete(
    const std::map<std::string, int>& entries) const {
  for (const auto& entry : entries) {
    const std::string& key = entry.first;
    const int value = entry.second;
    const auto info =
        std::find_if(keys.begin(), keys.end(), [&](const KeyInfo& k) { return key == k.name; });
    if (info == keys.end())
      throw std::invalid_argument("Unknown key '" + key + "' for a " + name + " layer.");
    if (value < info->min || value > info->max)
      throw std::invalid_argument("Value " + std::to_string(value) + " of key '" + key +
                                  "' is out of range [" + std::to_string(info->min) + ", " +
                                  std::to_string(info->max) + "] for a " + name + " layer.");
  }
  std::map<std::string, int> out = entries;
  for (const auto& k : keys) {
    if (out.count(k.name)) continue;
    if (!k.default_value)
      throw std::invalid_argument(std::string("Missing key '") + k.name + "' for a " + name +
                                  " layer.");
    out[k.name] = *k.default_value;
  }
  return out;
}

const LayerTypeInfo& layer_type_info(LayerType type) {
  for (const auto& info : table())
    if (info.type == type) return info;
  if (type == LayerType::Unknown)
    throw std::invalid_argument("Cannot create parameters or a layer of type Unknown.");
  throw std::invalid_argument("Unsupported layer type " + std::to_string(static_cast<int>(type)) +
                              ".");
}

}  // namespace morla::engine
