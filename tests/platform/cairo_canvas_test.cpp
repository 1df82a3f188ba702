#include "platform/cairo/cairo_canvas.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "platform/sim/overlay_images.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "platform_test_support.hpp"

namespace velmora::platform {
namespace {

using Pixel = std::array<std::uint8_t, 4>;

// Cairo's pen grows without bound with the width: an immense one is bounded by what it can reach, and
// covers all of that.
TEST(CairoCanvas, an_immensely_wide_stroke_covers_everything_it_reaches) {
    CairoImage image(20, 20);
    image.canvas().setColor(Color{0, 0, 1, 1});
    Path wide{{}, 1e300, LineCap::round, LineJoin::miter};
    wide.moveTo({5, 5}), wide.lineTo({6, 5});
    image.canvas().strokePath(wide);
    EXPECT_EQ(image.pixel(19, 19), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(image.pixel(0, 0), (Pixel{0, 0, 255, 255}));
    CairoImage huge(40000, 10);  // too large for Cairo: empty rather than unreadable
    EXPECT_EQ(huge.width() + huge.height(), 0);
    EXPECT_EQ(huge.pixel(0, 0), Pixel{});
}

struct ColourView : View {
    void draw(Canvas& c, const Rect& bounds) override { c.setColor(colour), c.fillRect(bounds); }
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
        const bool ok = cairo_image_surface_get_width(png) == 40 && cairo_image_surface_get_height(png) == 30;
        const int shown = ok ? cairo_image_surface_get_data(png)[2] : -1;
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
