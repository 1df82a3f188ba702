#pragma once

namespace velmora::platform {

// An sRGB colour with straight (not premultiplied) alpha, components in [0, 1].
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    Color withAlpha(double a) const { return Color{red, green, blue, a}; }
    friend bool operator==(const Color&, const Color&) = default;

    static Color clear() { return Color{0, 0, 0, 0}; }
    // The platform's system red and orange in their light appearance.
    static Color systemRed() { return Color{1.0, 59.0 / 255.0, 48.0 / 255.0, 1.0}; }
    static Color systemOrange() { return Color{1.0, 149.0 / 255.0, 0.0, 1.0}; }
};

}  // namespace velmora::platform
