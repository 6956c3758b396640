#include "engine/patch_windows.h"

namespace morla::engine {

std::optional<std::string> patch_window_misfit(Padding mode, uint32_t kernel_x, uint32_t kernel_y,
                                               const Shape& input, const ops::PaddingInfo& g) {
  const int64_t x =
      ops::window_count(int64_t{input[0]} + g.pad_x_before + g.pad_x_after, kernel_x, g.stride_x);
  const int64_t y =
      ops::window_count(int64_t{input[1]} + g.pad_y_before + g.pad_y_after, kernel_y, g.stride_y);
  if (x == g.out_x && y == g.out_y) return std::nullopt;
  static constexpr const char* kPaddingNames[] = {"Valid", "Same", "SameUpper"};
  const auto str = [](auto v) { return std::to_string(v); };
  return std::string("with padding ") + kPaddingNames[static_cast<int>(mode)] + ", kernel " +
         str(kernel_x) + " x " + str(kernel_y) + " and stride " + str(g.stride_x) + " x " +
         str(g.stride_y) + ", the padded " + str(input[0]) + " x " + str(input[1]) +
         " input holds " + str(x) + " x " + str(y) + " windows for " + str(g.out_x) + " x " +
         str(g.out_y) + " outputs";
}

}  // namespace morla::engine
