#include "platform/cairo/cairo_canvas.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <variant>

#include "platform/recording_canvas.hpp"
#include "platform_test_support.hpp"

namespace velmora::platform {
namespace {

using Recording = RecordingCanvas;

const Color blue{0, 0, 1, 1};
const Color green{0, 1, 0, 1};

// The same calls go to both canvases: a filled circle, a round-capped line and a layer composited at
// half opacity.
void drawShapes(Canvas& canvas) {
    canvas.setColor(blue);
    canvas.fillOval(Rect{10, 10, 20, 20});
    Path line;
    line.moveTo({40, 60});
    line.lineTo({80, 60});
    line.lineWidth = 10;
    line.lineCap = LineCap::round;
    line.lineJoin = LineJoin::round;
    canvas.strokePath(line);
    auto layer = canvas.makeLayer(20, 20);
    layer->canvas().setColor(green);
    layer->canvas().fillRect(Rect{0, 0, 20, 20});
    canvas.drawLayer(*layer, {100, 10}, 0.5);
}

int alpha(const CairoImage& image, int x, int y) {
    return image.pixel(x, y)[3];
}

TEST(CairoCanvas, records_exactly_the_geometry_it_is_given) {
    Recording canvas;
    drawShapes(canvas);
    const auto& calls = canvas.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(std::get<Recording::SetColor>(calls[0]).color, blue);
    EXPECT_EQ(std::get<Recording::FillOval>(calls[1]).rect, (Rect{10, 10, 20, 20}));
    const auto& path = std::get<Recording::StrokePath>(calls[2]).path;
    EXPECT_EQ(path.elements, (std::vector<PathElement>{{PathElement::Kind::moveTo, {40, 60}, {}, {}},
                                                       {PathElement::Kind::lineTo, {80, 60}, {}, {}}}));
    EXPECT_EQ(path.lineWidth, 10);
    EXPECT_EQ(path.lineCap, LineCap::round);
    const auto& layer = std::get<Recording::DrawLayer>(calls[3]);
    EXPECT_EQ(layer.at, (Point{100, 10}));
    EXPECT_EQ(layer.opacity, 0.5);
    ASSERT_EQ(layer.calls->size(), 2u);
    EXPECT_EQ(std::get<Recording::FillRect>(layer.calls->at(1)).rect, (Rect{0, 0, 20, 20}));
}

TEST(CairoCanvas, paints_fills_and_round_caps_where_they_are_and_nothing_elsewhere) {
    CairoImage image(140, 90);
    drawShapes(image.canvas());
    struct Probe {
        const char* where;
        int x, y;
        int alpha;
    };
    const Probe probes[] = {
        {"circle centre", 20, 20, 255},
        {"inside the circle near its edge", 27, 20, 255},
        {"bounding-box corner outside the circle", 11, 11, 0},
        {"middle of the line", 60, 60, 255},
        {"round cap beyond the start", 36, 60, 255},
        {"round cap beyond the end", 83, 60, 255},
        {"past the cap", 33, 60, 0},
        {"corner a square cap would fill", 35, 55, 0},
        {"above the line", 60, 52, 0},
        {"layer at half opacity", 110, 20, 128},
        {"beside the layer", 125, 20, 0},
    };
    for (const auto& p : probes)
        EXPECT_NEAR(alpha(image, p.x, p.y), p.alpha, 1) << p.where;
    EXPECT_EQ(image.pixel(20, 20), (std::array<std::uint8_t, 4>{0, 0, 255, 255}));
    EXPECT_EQ(image.pixel(110, 20)[1], 255) << "colour is given unpremultiplied";
}

TEST(CairoCanvas, clips_and_clears_rectangles) {
    CairoImage image(20, 20);
    auto& canvas = image.canvas();
    canvas.setColor(blue);
    canvas.clipTo(Rect{0, 0, 10, 20});
    canvas.fillRect(Rect{0, 0, 20, 20});
    canvas.resetClip();
    EXPECT_EQ(alpha(image, 5, 5), 255);
    EXPECT_EQ(alpha(image, 15, 5), 0);
    canvas.clearRect(Rect{0, 0, 5, 5});
    EXPECT_EQ(alpha(image, 2, 2), 0);
    EXPECT_EQ(alpha(image, 7, 7), 255);
}

// One bad shape must not leave the Cairo context in its error state, which would stop all later drawing.
TEST(CairoCanvas, shapes_that_are_not_numbers_are_skipped_and_drawing_goes_on) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    CairoImage image(20, 20);
    auto& canvas = image.canvas();
    canvas.setColor(Color{nan, 0, 1, 1});
    canvas.fillOval(Rect{nan, 0, 5, 5});
    canvas.fillOval(Rect{0, 0, 1e-300, 1e-300});
    canvas.fillOval(Rect{0, 0, nan, 5});
    canvas.fillRect(Rect{0, 0, inf, 5});
    Path bad;
    bad.moveTo({0, 0});
    bad.lineTo({nan, 3});
    canvas.strokePath(bad);
    Path wide;
    wide.moveTo({0, 0});
    wide.lineTo({1, 1});
    wide.lineWidth = inf;
    canvas.strokePath(wide);
    canvas.drawLayer(*canvas.makeLayer(2, 2), {nan, 0}, nan);
    canvas.clipTo(Rect{nan, 0, 1, 1});
    canvas.resetClip();
    EXPECT_EQ(alpha(image, 10, 10), 0);

    canvas.setColor(blue);
    canvas.fillRect(Rect{0, 0, 20, 20});
    EXPECT_EQ(cairo_status(static_cast<CairoCanvas&>(canvas).context()), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(alpha(image, 10, 10), 255);
}

TEST(CairoCanvas, an_immensely_wide_stroke_covers_everything_it_reaches) {
    CairoImage image(50, 50);
    Path dot;
    dot.moveTo({5, 5});
    dot.lineTo({6, 5});
    dot.lineWidth = 1e300;
    dot.lineCap = LineCap::round;
    image.canvas().setColor(blue);
    image.canvas().strokePath(dot);
    EXPECT_EQ(alpha(image, 49, 49), 255);
    EXPECT_EQ(alpha(image, 0, 0), 255);
}

TEST(CairoCanvas, an_image_too_large_for_cairo_is_empty_rather_than_unreadable) {
    CairoImage image(40000, 10);
    EXPECT_EQ(image.width(), 0);
    EXPECT_EQ(image.height(), 0);
    image.canvas().fillRect(Rect{0, 0, 10, 10});
    EXPECT_EQ(image.pixel(0, 0), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
}

TEST(CairoCanvas, png_files_are_replaced_whole) {
    platform::testing::TempDir dir;
    const auto file = (dir / "out.png").string();
    CairoImage image(4, 4);
    image.canvas().setColor(green);
    image.canvas().fillRect(Rect{0, 0, 4, 4});
    ASSERT_TRUE(image.writePng(file));
    image.canvas().clearRect(Rect{0, 0, 4, 4});
    ASSERT_TRUE(image.writePng(file));
    cairo_surface_t* read = cairo_image_surface_create_from_png(file.c_str());
    ASSERT_EQ(cairo_surface_status(read), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_data(read)[3], 0);
    cairo_surface_destroy(read);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    EXPECT_FALSE(image.writePng((dir / "missing" / "out.png").string()));
}

}  // namespace
}  // namespace velmora::platform
