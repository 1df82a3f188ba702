#include "platform/sim/overlay_images.hpp"

#include <cairo.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/sim/sim_desktop.hpp"
#include "platform_test_support.hpp"

namespace velmora::platform::sim {
namespace {

using namespace std::chrono_literals;
using platform::testing::TempDir;

// Fills the whole view with the colour it is given.
class ColourView : public View {
  public:
    void draw(Canvas& canvas, const Rect& bounds) override {
        canvas.setColor(colour);
        canvas.fillRect(bounds);
    }
    bool isFlipped() const override { return true; }
    Color colour{1, 0, 0, 1};
};

// Red, green, blue and alpha of the PNG's top-left pixel; all zero when there is no readable PNG.
std::array<int, 4> firstPixel(const std::filesystem::path& file) {
    cairo_surface_t* image = cairo_image_surface_create_from_png(file.c_str());
    std::array<int, 4> rgba{0, 0, 0, 0};
    if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS) {
        std::uint32_t argb = 0;
        std::memcpy(&argb, cairo_image_surface_get_data(image), 4);
        rgba = {int(argb >> 16 & 0xff), int(argb >> 8 & 0xff), int(argb & 0xff), int(argb >> 24)};
    }
    cairo_surface_destroy(image);
    return rgba;
}

struct Shown {
    explicit Shown(const TempDir& dir) {
        SimScene scene;
        scene.displays = {{1, "Built-in Display", Rect{0, 0, 200, 100}, 200, 100}};
        scene.overlayImages = (dir / "images").string();
        desktop = std::make_unique<SimDesktop>(loop, scene);
        window = desktop->createOverlayWindow({});
        window->setContentView(view);
        window->setFrame(Rect{10, 10, 40, 30}, false);
        file = dir / "images" / OverlayImageWriter::fileName(window->windowNumber());
    }
    void redraw(Color colour) {
        view->colour = colour;
        window->setNeedsDisplay();
        loop.drain();
    }
    MainLoop loop{MainLoop::Time::manual};
    std::unique_ptr<SimDesktop> desktop;
    std::shared_ptr<ColourView> view = std::make_shared<ColourView>();
    std::unique_ptr<OverlayWindow> window;
    std::filesystem::path file;
};

const Color red{1, 0, 0, 1};
const Color green{0, 1, 0, 1};
const Color blue{0, 0, 1, 1};

TEST(OverlayImages, a_visible_overlay_that_displays_is_written_as_png) {
    TempDir dir;
    Shown s(dir);
    s.window->setNeedsDisplay();
    s.loop.drain();
    EXPECT_FALSE(std::filesystem::exists(s.file)) << "a hidden window shows nothing";

    s.window->show();
    s.loop.drain();
    ASSERT_TRUE(std::filesystem::exists(s.file));
    EXPECT_EQ(firstPixel(s.file), (std::array<int, 4>{255, 0, 0, 255}));
    cairo_surface_t* image = cairo_image_surface_create_from_png(s.file.c_str());
    EXPECT_EQ(cairo_image_surface_get_width(image), 40);
    EXPECT_EQ(cairo_image_surface_get_height(image), 30);
    cairo_surface_destroy(image);
}

TEST(OverlayImages, writes_are_throttled_and_the_last_state_is_caught_up) {
    TempDir dir;
    Shown s(dir);
    s.window->show();
    s.loop.drain();
    ASSERT_EQ(firstPixel(s.file)[0], 255);

    s.loop.advance(0.03s);
    s.redraw(green);
    s.loop.advance(0.03s);
    s.redraw(blue);
    EXPECT_EQ(firstPixel(s.file), (std::array<int, 4>{255, 0, 0, 255})) << "inside the interval: not yet";

    s.loop.advance(0.05s);  // 0.11 s after the first write
    EXPECT_EQ(firstPixel(s.file), (std::array<int, 4>{0, 0, 255, 255}))
        << "the trailing write has the last state";

    s.loop.advance(1s);
    s.redraw(green);
    EXPECT_EQ(firstPixel(s.file), (std::array<int, 4>{0, 255, 0, 255})) << "after a quiet spell: at once";
}

TEST(OverlayImages, hiding_or_closing_the_window_removes_its_file) {
    TempDir dir;
    Shown s(dir);
    s.window->show();
    s.loop.drain();
    ASSERT_TRUE(std::filesystem::exists(s.file));
    s.redraw(green);  // leaves a trailing write pending
    s.window->hide();
    EXPECT_FALSE(std::filesystem::exists(s.file));
    s.loop.advance(1s);
    EXPECT_FALSE(std::filesystem::exists(s.file)) << "the pending write is dropped";

    s.window->show();
    s.loop.drain();
    ASSERT_TRUE(std::filesystem::exists(s.file));
    s.window.reset();
    EXPECT_FALSE(std::filesystem::exists(s.file));
    s.loop.advance(1s);
}

}  // namespace
}  // namespace velmora::platform::sim
