#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>

#include "ink/ink_view.hpp"
#include "ink/stroke_geometry.hpp"
#include "platform/cairo/cairo_canvas.hpp"

// How the ink is drawn: its geometry, its pixels through Cairo, and the cached rendering against the
// straightforward one pixel by pixel.
namespace velmora::ink {
namespace {

using platform::CairoImage;
using platform::Color;
using platform::Point;
using Strokes = std::vector<std::shared_ptr<InkStroke>>;
using Pixel = std::array<std::uint8_t, 4>;
using namespace std::chrono_literals;

const platform::WallTime start = platform::WallTime{} + std::chrono::hours(24 * 365 * 50);
const double inf = std::numeric_limits<double>::infinity();

std::shared_ptr<InkStroke> makeStroke(std::vector<Point> points, Color color = {0, 0, 1, 1}, double width = 4,
                                      std::optional<platform::WallTime> endedAt = {}) {
    auto stroke = std::make_shared<InkStroke>("s", color, width);
    stroke->points = std::move(points);
    stroke->endedAt = endedAt;
    return stroke;
}

// A stroke's path on a view of 60 × 30 as text: M(ove), L(ine) and C(urve) with their points.
std::string path(const std::vector<Point>& points) {
    std::ostringstream out;
    for (const auto& e : pieceGroup(points, 1, {60, 30}, 4).path.elements) {
        out << ' ' << "MLC"[static_cast<int>(e.kind)];
        for (const Point p : {e.control1, e.control2, e.to}) {
            if (e.kind == platform::PathElement::Kind::curveTo || p == e.to) out << ' ' << p.x << ',' << p.y;
        }
    }
    return out.str();
}

// Pieces are quadratic curves from midpoint to midpoint with the points between as control points, written
// as cubics, and a straight line to the last point. Widths are in points of a surface 1280 wide, at least
// 1.5, and at most what covers the view from anywhere; a finished stroke fades out over 2.5 s.
TEST(InkGeometry, strokes_are_smoothed_scaled_and_faded) {
    EXPECT_EQ(path({{0, 0.2}, {0.5, 0.2}, {0.5, 0.6}, {1, 0.6}}),
              " M 0,6 C 20,6 30,8 30,12 C 30,16 35,18 45,18 L 60,18");
    EXPECT_EQ(path({{0.1, 0.2}, {0.5, 0.2}}), " M 6,6 L 30,6");
    const std::array<double, 3> widths[] = {{4, 2560, 8},     {4, 320, 1.5},      {-inf, 1280, 1.5},
                                            {inf, 2560, 1.5}, {2000, 1280, 2000}, {1e300, 1280, 2760}};
    for (const auto& [width, viewWidth, expected] : widths)
        EXPECT_DOUBLE_EQ(lineWidth(width, {viewWidth, 100}), expected) << width << " on " << viewWidth;
    EXPECT_EQ(lineWidth(std::numeric_limits<double>::quiet_NaN(), {1280, 100}), 1.5);
    const std::pair<std::chrono::milliseconds, double> fades[] = {
        {0ms, 1}, {1250ms, 0.5}, {2000ms, 0.2}, {2499ms, 0.0004}, {2500ms, 0}, {-5000ms, 1}};
    for (const auto& [age, opacity] : fades)
        EXPECT_NEAR(strokeOpacity(start - age, start), opacity, 1e-9) << age.count() << " ms";
}

// The view through Cairo, at pixels where the strokes are and are not.
TEST(InkRendering, strokes_are_painted_in_order_where_they_are_drawn) {
    InkView view([] { return start; });
    view.strokes = {
        makeStroke({{0.1, 0.2}, {0.3, 0.1}, {0.5, 0.3}, {0.7, 0.1}, {0.9, 0.2}}, {1, 0, 0, 1}, 12),
        makeStroke({{0.2, 0.8}, {0.8, 0.8}}, {0, 0, 1, 1}, 16),
        makeStroke({}),
        makeStroke({{0.5, 0.55}}, {0, 0.6, 0, 1}, 40),
        makeStroke({{0.2, 0.5}, {0.35, 0.45}}, {1, 0, 1, 1}, 10, start - 1250ms),
        makeStroke({{0.1, 0.93125}, {0.2, 0.93125}}, {1, 0, 0, 1}, inf)};
    CairoImage image(640, 400);
    view.draw(image.canvas(), platform::Rect{0, 0, 640, 400});
    const std::tuple<const char*, int, int, Pixel> probes[] = {
        {"the curve's first point, round", 64, 80, {255, 0, 0, 255}},
        {"its last point", 576, 80, {255, 0, 0, 255}},
        {"a line of half width 4", 320, 320, {0, 0, 255, 255}},
        {"beside it", 320, 324, {}},
        {"a dot", 320, 220, {0, 153, 0, 255}},
        {"the corner of its box", 311, 211, {}},
        {"a stroke fading, at half opacity", 128, 200, {255, 0, 255, 128}},
        {"an infinite width: the minimum", 96, 372, {255, 0, 0, 255}},
        {"beyond it", 96, 374, {}}};
    for (const auto& [what, x, y, pixel] : probes) {
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(image.pixel(x, y)[i], pixel[i], 1) << what;
    }
    // A width beyond any view's covers all of it, under the strokes drawn after it.
    view.strokes.insert(view.strokes.begin(), makeStroke({{0.9, 0.9}, {0.95, 0.9}}, {0, 0, 1, 1}, 1e308));
    view.draw(image.canvas(), platform::Rect{0, 0, 640, 400});
    EXPECT_EQ(image.pixel(639, 399), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(image.pixel(64, 80), (Pixel{255, 0, 0, 255}));
}

// The largest difference of any channel of any pixel between the cached rendering, drawn until it has
// caught up as following frames do, and the straightforward one of `expected` (by default the same).
int difference(StrokeCache& cache, const Strokes& strokes, int width, int height,
               platform::WallTime now = start, const Strokes* expected = nullptr) {
    CairoImage cached(width, height), direct(width, height);
    const platform::Size size{double(width), double(height)};
    do {
        cached.canvas().clearRect(platform::Rect{0, 0, size.width, size.height});
        cache.draw(cached.canvas(), strokes, size, now);
    } while (cache.behind());
    drawStrokesDirectly(direct.canvas(), expected ? *expected : strokes, size, now);
    cairo_surface_flush(cached.surface());
    cairo_surface_flush(direct.surface());
    const auto *a = cairo_image_surface_get_data(cached.surface()),
               *b = cairo_image_surface_get_data(direct.surface());
    int largest = 0;  // of premultiplied values, which antialiasing rounds alike
    for (int i = 0; i < cairo_image_surface_get_stride(direct.surface()) * height; ++i)
        largest = std::max(largest, std::abs(a[i] - b[i]));
    return largest;
}

// Random strokes grow, end, fade, get new points and go, on views that change size now and then; every
// frame of the cached rendering matches a full redraw, and the cache keeps masks of drawn strokes only.
TEST(InkRendering, cached_frames_of_random_strokes_match_a_full_redraw) {
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937 random(seed);
        auto uniform = [&](double a, double b) { return std::uniform_real_distribution(a, b)(random); };
        auto chance = [&](double p) { return uniform(0, 1) < p; };
        const double widths[] = {1, 4, 9, 30, inf, 1e9};
        Strokes strokes;
        StrokeCache cache;
        auto now = start;
        int width = 320, height = 240;
        for (int frame = 0; frame < 60; ++frame) {
            if (strokes.empty() || chance(0.15)) {
                const Color color{uniform(0, 1), uniform(0, 1), uniform(0, 1), 1};
                strokes.push_back(makeStroke({{uniform(0, 1), uniform(0, 1)}}, color, widths[random() % 6]));
            }
            auto& stroke = *strokes[random() % strokes.size()];
            const double reach = chance(0.2) ? 1 : 0.05;  // mostly a hand's steps, sometimes across the view
            for (int n = random() % 8; n > 0; --n) {
                const Point last = stroke.points.back();
                stroke.points.push_back({std::clamp(last.x + uniform(-reach, reach), -0.1, 1.1),
                                         std::clamp(last.y + uniform(-reach, reach), -0.1, 1.1)});
            }
            if (chance(0.05)) stroke.points.resize(1 + random() % stroke.points.size());
            if (chance(0.1) && !stroke.endedAt) stroke.endedAt = now;
            if (chance(0.05)) strokes.erase(strokes.begin() + random() % strokes.size());
            if (chance(0.05)) width = 100 + random() % 300, height = 100 + random() % 200;
            now += std::chrono::milliseconds(random() % 300);
            ASSERT_LE(difference(cache, strokes, width, height, now), 1)
                << "seed " << seed << ", frame " << frame;
            std::erase_if(strokes, [&](const auto& s) { return strokeOpacity(s->endedAt, now) <= 0; });
            ASSERT_EQ(cache.cachedStrokes(), strokes.size()) << "masks of strokes gone are given back";
        }
        strokes.clear();
        EXPECT_EQ(difference(cache, strokes, width, height, now), 0);
        EXPECT_EQ(cache.maskBytes(), 0u);
    }
}

// A page sends a reviewer's pointer one point at a time, and each point changes the end of the stroke:
// grown that way, strokes come out as the same points drawn whole, at every frame.
TEST(InkRendering, strokes_grown_point_by_point_match_the_same_points_drawn_whole) {
    std::vector<Point> reversal{
        {100 / 640.0, 400 / 480.0}, {600 / 640.0, 400 / 480.0}, {100 / 640.0, 405 / 480.0}};
    std::vector<Point> zigzag, edges;  // along the view's edges
    for (int i = 0; i < 200; ++i) {
        if (i < 80) zigzag.push_back({i * 0.0125, i % 2 ? 0.9 : 0.1});
        edges.push_back(i < 100 ? Point{0, 0.5 + i * 0.005} : Point{(i - 99) * 0.005, 1});
    }
    for (const auto& [points, width] : {std::pair{reversal, 8}, {zigzag, 3}, {edges, 10}}) {
        const Strokes strokes{makeStroke({}, {0.8, 0.1, 0.3, 1}, width)};
        StrokeCache cache;
        for (const Point p : points) {
            strokes[0]->points.push_back(p);
            ASSERT_LE(difference(cache, strokes, 320, 240), 1) << strokes[0]->points.size() << " points";
        }
    }
}

// Every piece from corner to corner, crossing all the others: drawn over frames of bounded work.
TEST(InkRendering, a_stroke_of_many_crossing_points_is_drawn_over_frames_of_bounded_work) {
    const Strokes strokes{makeStroke({}, {0, 0.3, 0.9, 1})};
    for (int i = 0; i < 20'000; ++i)
        strokes[0]->points.push_back({double(i % 4 == 1 || i % 4 == 2), double(i % 4 % 2)});
    StrokeCache cache;
    CairoImage image(64, 40);
    int frames = 0;
    do {
        cache.draw(image.canvas(), strokes, {64, 40}, start);
        ASSERT_TRUE(cache.lastWork() <= StrokeCache::workPerFrame || cache.lastGroups() == 1);
    } while (++frames < 1000 && cache.behind());
    EXPECT_GT(frames, 10);
    EXPECT_LE(difference(cache, strokes, 64, 40), 1);
}

TEST(InkRendering, masks_stay_within_the_budget_and_strokes_without_room_wait_for_it) {
    // Each of these needs about 39 KiB; one fits, and the other waits until the first is gone.
    Strokes strokes{makeStroke({{0.1, 0.1}, {0.45, 0.5}}, {1, 0, 0, 1}, 4, start),
                    makeStroke({{0.5, 0.5}, {0.85, 0.9}}, {0, 1, 0, 1}, 4, start)};
    const Strokes first{strokes[0]};
    StrokeCache cache(64 * 1024);
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_LE(difference(cache, strokes, 640, 400, start, &first), 1);
        EXPECT_LE(cache.maskBytes(), 64u * 1024u);
    }
    strokes.erase(strokes.begin());
    EXPECT_LE(difference(cache, strokes, 640, 400), 1);
}

}  // namespace
}  // namespace velmora::ink
