// Dialog units to pixels. A horizontal unit is a quarter of the dialog
// font's average character width, a vertical unit an eighth of its height,
// so a window laid out in dialog units grows with its font.
#pragma once

namespace ui {

struct DialogBase {
  int char_width = 0;   // average character width of the dialog font, pixels
  int char_height = 0;  // height of the dialog font, pixels
};

// Rounded to the nearest pixel, halves away from zero, for negative units
// too (a control placed above the window at y -15 stays as far above it as
// one at y 15 is below).
constexpr int mul_div_rounded(int value, int mul, int div) {
  const long long p = static_cast<long long>(value) * mul;
  const long long q = p >= 0 ? (p + div / 2) / div : -((-p + div / 2) / div);
  return static_cast<int>(q);
}

constexpr int du_to_px_x(int du, DialogBase base) { return mul_div_rounded(du, base.char_width, 4); }
constexpr int du_to_px_y(int du, DialogBase base) { return mul_div_rounded(du, base.char_height, 8); }

// Pixels back to units; 0 when the base has no size.
constexpr int px_to_du_x(int px, DialogBase base) {
  return base.char_width > 0 ? mul_div_rounded(px, 4, base.char_width) : 0;
}
constexpr int px_to_du_y(int px, DialogBase base) {
  return base.char_height > 0 ? mul_div_rounded(px, 8, base.char_height) : 0;
}

}  // namespace ui
