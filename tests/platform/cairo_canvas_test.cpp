#include "platform/cairo/cairo_canvas.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <limits>

#include "platform/sim/overlay_images.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "platform_test_support.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using Pixel = std::array<std::uint8_t, 4>;

// One bad shape must not leave the Cairo context in its error state, which would stop all later drawing.
TEST(CairoCanvas, shapes_that_are_not_numbers_are_skipped_and_drawing_goes_on) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    CairoImage image(20, 20);
    auto& canvas = image.canvas();
    canvas.setColor(Color{nan, 0, 1, 1});
    canvas.fillOval(Rect{nan, 0, 5, 5});
    canvas.fillOval(Rect{0, 0, 1e-300, 1e-300});
    canvas.fillOval(Rect{0, 0, nan, 5});
    canvas.fillRect(Rect{0, 0, inf, 5});
    Path path{{{PathElement::Kind::moveTo, {0, 0}, {}, {}}, {PathElement::Kind::lineTo, {nan, 3}, {}, {}}}};
    canvas.strokePath(path);
    path.elements[1].to = {1, 1}, path.lineWidth = inf;
    canvas.strokePath(path);
    canvas.drawLayer(*canvas.makeLayer(2, 2), {nan, 0}, nan);
    canvas.fillMask(*canvas.makeMask(2, 2), {0, inf});
    canvas.clipTo(Rect{nan, 0, 1, 1});
    canvas.resetClip();
    EXPECT_EQ(image.pixel(10, 10)[3], 0);
    canvas.setColor(Color{0, 0, 1, 1});
    canvas.fillOval(Rect{0, 0, 20, 20});
    EXPECT_EQ(cairo_status(static_cast<CairoCanvas&>(canvas).context()), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(image.pixel(10, 10), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(image.pixel(1, 1)[3], 0);  // outside the circle
    // Cairo's pen grows without bound with the width; an immense one covers all it reaches.
    canvas.clearRect(Rect{0, 0, 20, 20});
    path.lineWidth = 1e300, path.lineCap = LineCap::round;
    canvas.strokePath(path);
    EXPECT_EQ(image.pixel(19, 19)[3] + image.pixel(0, 0)[3], 2 * 255);
}

TEST(CairoImage, is_empty_when_too_large_for_cairo_rather_than_unreadable) {
    CairoImage huge(40000, 10);
    EXPECT_EQ(huge.width() + huge.height(), 0);
    huge.canvas().fillRect(Rect{0, 0, 10, 10});
    EXPECT_EQ(huge.pixel(0, 0), Pixel{});
}

// Fills the whole view with its colour.
struct ColourView : View {
    void draw(Canvas& canvas, const Rect& bounds) override {
        canvas.setColor(colour);
        canvas.fillRect(bounds);
    }
    bool isFlipped() const override { return true; }
    Color colour;
};

// The image of a visible overlay window is kept in a PNG, written at most every 0.1 s with the last
// state caught up, and removed when the window is hidden or closed.
TEST(OverlayImages, follow_what_a_visible_overlay_shows) {
    testing::TempDir dir;
    MainLoop loop{MainLoop::Time::manual};
    sim::SimScene scene;
    scene.overlayImages = (dir / "images").string();
    sim::SimDesktop desktop(loop, scene);
    auto window = desktop.createOverlayWindow({});
    const auto view = std::make_shared<ColourView>();
    window->setContentView(view);
    window->setFrame(Rect{10, 10, 40, 30}, false);
    const auto file = dir / "images" / sim::OverlayImageWriter::fileName(window->windowNumber());
    // After `ms`, shows `red` from then on (unless it is -1); gives the red of the file's first pixel, -1
    // without one.
    auto show = [&](int red, int ms) {
        loop.advance(std::chrono::milliseconds(ms));
        if (red >= 0) view->colour = Color{red / 255.0, 0, 0, 1}, window->setNeedsDisplay();
        loop.drain();
        cairo_surface_t* png = cairo_image_surface_create_from_png(file.c_str());
        const bool read =
            cairo_image_surface_get_width(png) == 40 && cairo_image_surface_get_height(png) == 30;
        const int shown = read ? cairo_image_surface_get_data(png)[2] : -1;
        cairo_surface_destroy(png);
        return shown;
    };
    EXPECT_EQ(show(10, 0), -1) << "a hidden window shows nothing";
    window->show();
    EXPECT_EQ(show(10, 0), 10);
    EXPECT_EQ(show(30, 30), 10) << "inside the interval: not yet";
    EXPECT_EQ(show(40, 30), 10);
    EXPECT_EQ(show(-1, 50), 40) << "0.11 s after the first write: the trailing write has the last state";
    EXPECT_EQ(show(50, 1000), 50) << "after a quiet spell: at once";
    EXPECT_EQ(show(60, 0), 50);  // leaves a trailing write pending
    window->hide();
    EXPECT_EQ(show(70, 1000), -1) << "hidden: removed, and the pending write dropped";
    window->show();
    EXPECT_EQ(show(70, 0), 70);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));  // written aside, then renamed over it
    window.reset();
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace velmora::platform
