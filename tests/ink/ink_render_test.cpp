#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ink/ink_view.hpp"
#include "ink/stroke_cache.hpp"
#include "ink/stroke_geometry.hpp"
#include "platform/cairo/cairo_canvas.hpp"

// The cached rendering against the straightforward one, through Cairo, pixel by pixel.
namespace velmora::ink {
namespace {

using platform::CairoImage;
using platform::Color;
using platform::Point;
using platform::Rect;
using Strokes = std::vector<std::shared_ptr<InkStroke>>;
using namespace std::chrono_literals;

const platform::WallTime start = platform::WallTime{} + std::chrono::hours(24 * 365 * 50);

std::shared_ptr<InkStroke> makeStroke(std::vector<Point> points, Color color, double width = 4) {
    auto stroke = std::make_shared<InkStroke>("s", color, width);
    stroke->points = std::move(points);
    return stroke;
}

// A hand-like stroke: a walk that turns smoothly, `step` of the width between points.
std::vector<Point> walk(std::mt19937& random, std::size_t count, double step = 0.004) {
    std::uniform_real_distribution<double> unit(0.1, 0.9);
    std::uniform_real_distribution<double> turn(-0.6, 0.6);
    double x = unit(random), y = unit(random), heading = unit(random) * 7;
    std::vector<Point> points;
    for (std::size_t i = 0; i < count; ++i) {
        points.push_back({x, y});
        heading += turn(random);
        x = std::clamp(x + std::cos(heading) * step, 0.0, 1.0);
        y = std::clamp(y + std::sin(heading) * step * 1.6, 0.0, 1.0);
    }
    return points;
}

std::unique_ptr<CairoImage> renderDirect(const Strokes& strokes, int width, int height,
                                         platform::WallTime now) {
    auto image = std::make_unique<CairoImage>(width, height);
    drawStrokesDirectly(image->canvas(), strokes, {double(width), double(height)}, now);
    return image;
}

std::unique_ptr<CairoImage> renderCached(StrokeCache& cache, const Strokes& strokes, int width, int height,
                                         platform::WallTime now) {
    auto image = std::make_unique<CairoImage>(width, height);
    cache.draw(image->canvas(), strokes, {double(width), double(height)}, now);
    return image;
}

// The largest difference of any premultiplied channel of any pixel.
int largestDifference(const CairoImage& a, const CairoImage& b) {
    cairo_surface_flush(a.surface());
    cairo_surface_flush(b.surface());
    const auto* pa = cairo_image_surface_get_data(a.surface());
    const auto* pb = cairo_image_surface_get_data(b.surface());
    const int stride = cairo_image_surface_get_stride(a.surface());
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width() * 4; ++x) {
            const auto i = static_cast<std::ptrdiff_t>(y) * stride + x;
            largest = std::max(largest, std::abs(int(pa[i]) - int(pb[i])));
        }
    }
    return largest;
}

int paintedPixels(const CairoImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            count += image.pixel(x, y)[3] != 0 ? 1 : 0;
    }
    return count;
}

void expectSamePixels(StrokeCache& cache, const Strokes& strokes, int width, int height,
                      platform::WallTime now) {
    const auto direct = renderDirect(strokes, width, height, now);
    const auto cached = renderCached(cache, strokes, width, height, now);
    EXPECT_LE(largestDifference(*direct, *cached), 1);
}

// Every kind of stroke at once: a dot, a straight line, short and long curves, sharp turns, repeated
// points, strokes along the edges and out to the corners, overlapping strokes of different colours, a
// very wide one, one of infinite width, and strokes at several stages of their fade.
Strokes everyCase(std::mt19937& random) {
    Strokes strokes;
    strokes.push_back(makeStroke({{0.5, 0.5}}, Color{1, 0, 0, 1}, 10));
    strokes.push_back(makeStroke({{0.1, 0.1}, {0.6, 0.15}}, Color{0, 0.5, 1, 1}));
    strokes.push_back(makeStroke({{0.2, 0.7}, {0.3, 0.6}, {0.35, 0.8}}, Color{0.1, 0.8, 0.2, 1}, 12));
    strokes.push_back(
        makeStroke({{0.7, 0.2}, {0.9, 0.3}, {0.7, 0.4}, {0.9, 0.5}, {0.7, 0.6}}, Color{1, 0.5, 0, 1}, 20));
    strokes.push_back(
        makeStroke({{0.4, 0.4}, {0.4, 0.4}, {0.4, 0.4}, {0.45, 0.42}, {0.45, 0.42}}, Color{0.5, 0, 0.5, 1}));
    strokes.push_back(makeStroke({{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}}, Color{0, 0, 0, 1}, 6));
    strokes.push_back(makeStroke({{0.3, 0.3}, {0.35, 0.3}}, Color{0, 1, 1, 1}, 60));
    strokes.push_back(makeStroke({{0.8, 0.8}, {0.85, 0.9}}, Color{0.3, 0.3, 0.3, 1},
                                 std::numeric_limits<double>::infinity()));
    for (int i = 0; i < 6; ++i) {
        const Color color{(i % 3) / 2.0, (i % 2) * 1.0, 1 - i / 6.0, 1};
        auto stroke = makeStroke(walk(random, 40 + i * 30), color, 3 + i * 2);
        if (i % 2 == 1) stroke->endedAt = start - std::chrono::milliseconds(300 * i);
        strokes.push_back(stroke);
    }
    return strokes;
}

TEST(InkRendering, cached_frames_match_a_full_redraw) {
    std::mt19937 random(7);
    const Strokes strokes = everyCase(random);
    StrokeCache cache;
    for (const auto now : {start, start + 400ms, start + 1250ms, start + 2100ms}) {
        SCOPED_TRACE(testing::Message() << "at " << (now - start) / 1ms << " ms");
        expectSamePixels(cache, strokes, 640, 400, now);
    }
    EXPECT_GT(cache.cachedStrokes(), 0u);
}

TEST(InkRendering, a_stroke_being_drawn_matches_a_full_redraw_at_every_frame) {
    std::mt19937 random(11);
    Strokes strokes = everyCase(random);
    auto live = makeStroke({}, Color{0.9, 0.1, 0.4, 1}, 8);
    auto border = makeStroke({}, Color{0.1, 0.6, 0.3, 1}, 10);  // drawn along the view's edges
    strokes.push_back(live);
    strokes.push_back(border);
    strokes.push_back(makeStroke(walk(random, 80), Color{0.2, 0.2, 0.9, 1}, 5));  // drawn over the live one
    const auto points = walk(random, 400, 0.01);
    std::vector<Point> edge;
    for (int i = 0; i < 200; ++i)
        edge.push_back(i < 100 ? Point{0, 0.5 + i * 0.005} : Point{(i - 99) * 0.005, 1});

    StrokeCache cache;
    std::size_t next = 0;
    int frame = 0;
    // One, two, then several points a frame, as a page sends them; the walk crosses itself and runs out to
    // where the stroke's mask has to grow.
    while (next < points.size()) {
        const std::size_t count = frame < 10 ? 1 : frame < 20 ? 2 : 1 + frame % 7;
        for (std::size_t i = 0; i < count && next < points.size(); ++i) {
            if (next < edge.size()) border->points.push_back(edge[next]);
            live->points.push_back(points[next++]);
        }
        SCOPED_TRACE(testing::Message() << "frame " << frame << " with " << live->points.size() << " points");
        expectSamePixels(cache, strokes, 480, 360, start + std::chrono::milliseconds(frame * 16));
        if (HasFailure()) return;
        ++frame;
    }
}

// A page sends a reviewer's pointer one point at a time, and each point changes the end of the stroke:
// grown that way, strokes must come out as the same points drawn whole, at every frame.
TEST(InkRendering, strokes_grown_point_by_point_match_the_same_points_drawn_whole) {
    std::mt19937 random(17);
    std::uniform_real_distribution<double> unit(0, 1);
    auto generated = [&](std::size_t count, auto&& point) {
        std::vector<Point> points;
        for (std::size_t i = 0; i < count; ++i)
            points.push_back(point(i));
        return points;
    };
    struct Case {
        const char* name;
        std::vector<Point> points;
        double width;
    };
    const Case cases[] = {
        {"a reversal",
         {{100 / 640.0, 400 / 480.0}, {600 / 640.0, 400 / 480.0}, {100 / 640.0, 405 / 480.0}},
         8},
        {"reversals",
         generated(24,
                   [](std::size_t i) {
                       return Point{i % 2 ? 0.8 : 0.2, 0.3 + i * 0.01};
                   }),
         6},
        {"a zigzag",
         generated(80,
                   [](std::size_t i) {
                       return Point{i * 0.0125, i % 2 ? 0.9 : 0.1};
                   }),
         3},
        {"a scribble",
         generated(120,
                   [&](std::size_t) {
                       return Point{0.3 + 0.5 * unit(random), unit(random)};
                   }),
         5},
        {"a random walk", walk(random, 200, 0.01), 8},
        {"a wide random walk", walk(random, 150, 0.03), 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Strokes strokes{makeStroke({}, Color{0.8, 0.1, 0.3, 1}, c.width)};
        StrokeCache cache;
        for (const Point p : c.points) {
            strokes[0]->points.push_back(p);
            SCOPED_TRACE(testing::Message() << strokes[0]->points.size() << " points");
            expectSamePixels(cache, strokes, 320, 240, start);
            ASSERT_FALSE(cache.behind());
            if (HasFailure()) return;
        }
    }
}

// A page's strokes of many points, every piece from corner to corner and crossing the others: drawn
// over frames of bounded work, the smaller one compared with the straightforward drawing when done (the
// larger one would take that drawing seconds more).
TEST(InkRendering, strokes_of_up_to_a_million_crossing_points_are_drawn_over_frames_of_bounded_work) {
    const Point corners[] = {{0, 0}, {1, 1}, {1, 0}, {0, 1}};
    for (const std::size_t count : {20'000, 1'000'000}) {
        SCOPED_TRACE(testing::Message() << count << " points");
        std::vector<Point> points;
        for (std::size_t i = 0; i < count; ++i)
            points.push_back(corners[i % 4]);
        const Strokes strokes{makeStroke(std::move(points), Color{0, 0.3, 0.9, 1})};

        StrokeCache cache;
        auto image = renderCached(cache, strokes, 64, 40, start);
        int frames = 1;
        while (cache.behind()) {
            ASSERT_TRUE(cache.lastWork() <= StrokeCache::workPerFrame || cache.lastGroups() == 1);
            image = renderCached(cache, strokes, 64, 40, start);
            ++frames;
        }
        EXPECT_GT(frames, 10);
        EXPECT_GT(paintedPixels(*image), 64 * 6);  // both diagonals and the edges
        if (count < 100'000) {
            EXPECT_LE(largestDifference(*renderDirect(strokes, 64, 40, start), *image), 1);
        }
    }
}

TEST(InkRendering, a_stroke_whose_points_are_replaced_is_rendered_afresh) {
    std::mt19937 random(3);
    Strokes strokes{makeStroke(walk(random, 60), Color{0, 0, 1, 1}, 6)};
    StrokeCache cache;
    expectSamePixels(cache, strokes, 300, 300, start);
    strokes[0]->points = walk(random, 50);
    expectSamePixels(cache, strokes, 300, 300, start);
    strokes[0]->points.resize(20);
    expectSamePixels(cache, strokes, 300, 300, start);
}

TEST(InkRendering, a_new_view_size_renders_every_stroke_again) {
    std::mt19937 random(5);
    const Strokes strokes = everyCase(random);
    StrokeCache cache;
    expectSamePixels(cache, strokes, 400, 300, start);
    expectSamePixels(cache, strokes, 503, 211, start);
    expectSamePixels(cache, strokes, 400, 300, start);
}

TEST(InkRendering, memory_stays_within_the_budget_and_strokes_without_room_wait_for_it) {
    // Each needs about 39 KiB; one fits.
    Strokes strokes{makeStroke({{0.1, 0.1}, {0.45, 0.5}}, Color{1, 0, 0, 1}),
                    makeStroke({{0.5, 0.5}, {0.85, 0.9}}, Color{0, 1, 0, 1})};
    for (auto& stroke : strokes)
        stroke->endedAt = start;
    StrokeCache cache(64 * 1024);
    for (int frame = 0; frame < 3; ++frame) {
        const auto cached = renderCached(cache, strokes, 640, 400, start);
        EXPECT_LE(cache.maskBytes(), 64u * 1024u);
        EXPECT_LE(largestDifference(*renderDirect({strokes[0]}, 640, 400, start), *cached), 1);
    }
    strokes.erase(strokes.begin());
    expectSamePixels(cache, strokes, 640, 400, start);
}

TEST(InkRendering, masks_of_strokes_that_are_gone_are_given_back) {
    std::mt19937 random(13);
    Strokes strokes = everyCase(random);
    StrokeCache cache;
    renderCached(cache, strokes, 320, 200, start);
    const auto before = cache.maskBytes();
    EXPECT_GT(before, 0u);

    strokes.erase(strokes.begin(), strokes.begin() + 4);
    renderCached(cache, strokes, 320, 200, start);
    EXPECT_LT(cache.maskBytes(), before);
    EXPECT_EQ(cache.cachedStrokes(), strokes.size());

    // A stroke made where an old one was is drawn as itself, not from the old one's mask.
    strokes.clear();
    renderCached(cache, strokes, 320, 200, start);
    EXPECT_EQ(cache.maskBytes(), 0u);
    strokes.push_back(makeStroke({{0.2, 0.2}, {0.8, 0.8}}, Color{1, 0, 0, 1}));
    expectSamePixels(cache, strokes, 320, 200, start);
}

TEST(InkRendering, widths_are_drawn_as_given_and_those_that_are_not_finite_at_the_minimum) {
    const double inf = std::numeric_limits<double>::infinity();
    using Pixel = std::array<std::uint8_t, 4>;
    for (const auto rendering : {InkView::Rendering::direct, InkView::Rendering::cached}) {
        SCOPED_TRACE(rendering == InkView::Rendering::direct ? "direct" : "cached");
        InkView view([] { return start; });
        view.setRendering(rendering);
        view.strokes.push_back(makeStroke({{0.1, 0.1}, {0.2, 0.1}}, Color{1, 0, 0, 1}, inf));
        view.strokes.push_back(makeStroke({{0.5, 0.5}, {0.5, 0.6}}, Color{0, 1, 0, 1}, 96));

        CairoImage image(640, 400);
        view.draw(image.canvas(), Rect{0, 0, 640, 400});
        // 96 reference points are 48 on this view, 24 either side of the line.
        EXPECT_EQ(image.pixel(320 + 23, 220), (Pixel{0, 255, 0, 255}));
        EXPECT_EQ(image.pixel(320 - 24, 220), (Pixel{0, 255, 0, 255}));
        EXPECT_EQ(image.pixel(320 + 25, 220)[3], 0);
        EXPECT_GT(image.pixel(96, 40)[3], 0);  // at the minimum width of 1.5
        EXPECT_EQ(image.pixel(96, 42)[3], 0);

        // A width beyond any view's covers all of it.
        view.strokes.push_back(makeStroke({{0.9, 0.9}, {0.95, 0.9}}, Color{0, 0, 1, 1}, 1e308));
        view.draw(image.canvas(), Rect{0, 0, 640, 400});
        EXPECT_EQ(image.pixel(0, 0), (Pixel{0, 0, 255, 255}));
        EXPECT_EQ(image.pixel(639, 399), (Pixel{0, 0, 255, 255}));
    }
}

// Writes the picture for a person to look at, and checks it at a handful of pixels.
TEST(InkRendering, renders_a_picture_of_strokes_through_cairo) {
    InkView view([] { return start; });
    view.strokes.push_back(makeStroke({{0.1, 0.2}, {0.3, 0.1}, {0.5, 0.3}, {0.7, 0.1}, {0.9, 0.2}},
                                      Color{1, 59 / 255.0, 48 / 255.0, 1}, 12));
    view.strokes.push_back(makeStroke({{0.2, 0.8}, {0.8, 0.8}}, Color{0, 0, 1, 1}, 16));
    view.strokes.push_back(makeStroke({{0.5, 0.55}}, Color{0, 0.6, 0, 1}, 40));
    auto fading = makeStroke({{0.2, 0.5}, {0.35, 0.45}, {0.35, 0.65}}, Color{0, 0, 0, 1}, 10);
    fading->endedAt = start - 1250ms;
    view.strokes.push_back(fading);

    CairoImage image(640, 400);
    view.draw(image.canvas(), Rect{0, 0, 640, 400});
    const std::string file = std::string(VELMORA_BINARY_DIR) + "/ink_strokes.png";
    ASSERT_TRUE(image.writePng(file)) << file;

    using Pixel = std::array<std::uint8_t, 4>;
    EXPECT_EQ(image.pixel(64, 80), (Pixel{255, 59, 48, 255}));   // the curve starts at its first point
    EXPECT_EQ(image.pixel(576, 80), (Pixel{255, 59, 48, 255}));  // and ends at its last one
    EXPECT_EQ(image.pixel(320, 320), (Pixel{0, 0, 255, 255}));   // middle of the straight line
    EXPECT_EQ(image.pixel(320, 332), (Pixel{0, 0, 0, 0}));       // beyond its half width of 4
    EXPECT_EQ(image.pixel(320, 220), (Pixel{0, 153, 0, 255}));   // the dot's centre
    EXPECT_NEAR(image.pixel(128, 200)[3], 128, 1);               // the fading stroke at half opacity
    EXPECT_EQ(image.pixel(10, 390), (Pixel{0, 0, 0, 0}));        // nothing drawn
    EXPECT_GT(paintedPixels(image), 5000);
}

}  // namespace
}  // namespace velmora::ink
