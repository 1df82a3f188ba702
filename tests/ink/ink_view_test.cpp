#include "ink/ink_view.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <variant>
#include <vector>

#include "ink/stroke_geometry.hpp"
#include "platform/recording_canvas.hpp"

// The drawing of the ink, checked call by call on a recording canvas through the view's direct rendering
// (its cached rendering is compared with this one pixel by pixel in ink_render_test.cpp).
namespace velmora::ink {
namespace {

using platform::Color;
using platform::PathElement;
using platform::Point;
using platform::RecordingCanvas;
using platform::Rect;
using namespace std::chrono_literals;

const platform::WallTime start = platform::WallTime{} + std::chrono::hours(24 * 365 * 50);
constexpr Color blue{0, 0, 1, 1};

struct Drawn {
    std::vector<RecordingCanvas::Call> calls;
};

struct Fixture {
    platform::WallTime now = start;
    InkView view{[this] { return now; }};

    Fixture() { view.setRendering(InkView::Rendering::direct); }

    std::shared_ptr<InkStroke> add(std::vector<Point> points, double width = 4, Color color = blue) {
        // Appended rather than concatenated: GCC 12 warns falsely (-Wrestrict) on "s" + std::string here.
        std::string id = "s";
        id += std::to_string(view.strokes.size());
        auto stroke = std::make_shared<InkStroke>(id, color, width);
        stroke->points = std::move(points);
        view.strokes.push_back(stroke);
        return stroke;
    }

    std::vector<RecordingCanvas::Call> draw(double width, double height) {
        RecordingCanvas canvas;
        view.draw(canvas, Rect{0, 0, width, height});
        return canvas.calls();
    }
};

template <typename T>
std::vector<T> callsOf(const std::vector<RecordingCanvas::Call>& calls) {
    std::vector<T> found;
    for (const auto& call : calls) {
        if (const auto* c = std::get_if<T>(&call)) found.push_back(*c);
    }
    return found;
}

// The paths stroked on the canvas and in the masks filled on it, in view coordinates.
std::vector<platform::Path> strokedPaths(const std::vector<RecordingCanvas::Call>& calls) {
    std::vector<platform::Path> paths;
    for (const auto& call : calls) {
        if (const auto* c = std::get_if<RecordingCanvas::StrokePath>(&call)) paths.push_back(c->path);
        const auto* mask = std::get_if<RecordingCanvas::FillMask>(&call);
        if (mask == nullptr) continue;
        for (auto path : strokedPaths(*mask->calls)) {
            for (auto& e : path.elements) {
                for (Point* p : {&e.to, &e.control1, &e.control2})
                    *p = Point{p->x + mask->at.x, p->y + mask->at.y};
            }
            paths.push_back(path);
        }
    }
    return paths;
}

void expectPoint(Point actual, Point expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-12);
    EXPECT_NEAR(actual.y, expected.y, 1e-12);
}

TEST(InkView, is_flipped_and_starts_empty) {
    InkView view([] { return start; });
    EXPECT_TRUE(view.isFlipped());
    EXPECT_TRUE(view.strokes.empty());
    EXPECT_EQ(view.rendering(), InkView::Rendering::cached);
}

TEST(InkView, three_points_give_one_curve_through_the_midpoint_then_a_straight_line) {
    Fixture f;
    f.add({{0, 0}, {1, 0}, {1, 1}});
    const auto calls = f.draw(10, 10);

    // Stroked in a mask of coverage, which is filled in the stroke's colour.
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_TRUE(std::holds_alternative<RecordingCanvas::SetColor>(calls[0]));
    EXPECT_EQ(std::get<RecordingCanvas::SetColor>(calls[0]).color, blue);
    ASSERT_TRUE(std::holds_alternative<RecordingCanvas::FillMask>(calls[1]));
    const auto paths = strokedPaths(calls);
    ASSERT_EQ(paths.size(), 1u);
    const auto& path = paths[0];
    ASSERT_EQ(path.elements.size(), 3u);
    EXPECT_EQ(path.elements[0].kind, PathElement::Kind::moveTo);
    expectPoint(path.elements[0].to, {0, 0});
    EXPECT_EQ(path.elements[1].kind, PathElement::Kind::curveTo);
    expectPoint(path.elements[1].to, {10, 5});
    expectPoint(path.elements[1].control1, {20.0 / 3.0, 0});
    expectPoint(path.elements[1].control2, {10, 5.0 / 3.0});
    EXPECT_EQ(path.elements[2].kind, PathElement::Kind::lineTo);
    expectPoint(path.elements[2].to, {10, 10});
    EXPECT_EQ(path.lineCap, platform::LineCap::round);
    EXPECT_EQ(path.lineJoin, platform::LineJoin::round);
}

TEST(InkView, two_points_give_a_straight_line_and_one_point_a_dot) {
    Fixture f;
    f.add({{0.1, 0.2}, {0.5, 0.2}});
    f.add({{0.5, 0.5}}, 8);
    const auto calls = f.draw(1280, 100);

    const auto paths = strokedPaths(calls);
    ASSERT_EQ(paths.size(), 1u);
    ASSERT_EQ(paths[0].elements.size(), 2u);
    expectPoint(paths[0].elements[0].to, {128, 20});
    EXPECT_EQ(paths[0].elements[1].kind, PathElement::Kind::lineTo);
    expectPoint(paths[0].elements[1].to, {640, 20});

    const auto dots = callsOf<RecordingCanvas::FillOval>(calls);
    ASSERT_EQ(dots.size(), 1u);
    EXPECT_EQ(dots[0].rect, (Rect{636, 46, 8, 8}));
}

TEST(InkView, line_width_follows_the_view_width_with_a_floor_and_no_cap) {
    struct Case {
        double width;
        double viewWidth;
        double expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {4, 1280, 4},
        {4, 2560, 8},
        {4, 320, 1.5},
        {0, 1280, 1.5},
        {-3, 1280, 1.5},
        {std::numeric_limits<double>::quiet_NaN(), 1280, 1.5},
        {-inf, 1280, 1.5},
        {inf, 2560, 1.5},
        {96, 640, 48},
        {65, 1280, 65},
        {2000, 1280, 2000},
        {1e300, 1280, 2760},  // wider than covers the whole view of 1280 × 100 from anywhere: the same pixels
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << " on " << c.viewWidth);
        Fixture f;
        f.add({{0.1, 0.1}, {0.9, 0.9}}, c.width);
        f.add({{0.5, 0.5}}, c.width);
        const auto calls = f.draw(c.viewWidth, 100);
        const auto paths = strokedPaths(calls);
        const auto dots = callsOf<RecordingCanvas::FillOval>(calls);
        ASSERT_EQ(paths.size(), 1u);
        ASSERT_EQ(dots.size(), 1u);
        EXPECT_DOUBLE_EQ(paths[0].lineWidth, c.expected);
        EXPECT_DOUBLE_EQ(dots[0].rect.width, c.expected);
        EXPECT_DOUBLE_EQ(dots[0].rect.height, c.expected);
    }
}

TEST(InkView, a_finished_stroke_fades_over_two_and_a_half_seconds) {
    struct Case {
        std::chrono::milliseconds sinceEnd;
        std::optional<double> alpha;  // nothing: not drawn
    };
    const Case cases[] = {
        {0ms, 1.0},       {1250ms, 0.5},          {2000ms, 0.2},
        {2499ms, 0.0004}, {2500ms, std::nullopt}, {4000ms, std::nullopt},
        {-5000ms, 1.0},  // the wall clock went back: never more than opaque
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sinceEnd.count() << " ms after the end");
        Fixture f;
        const auto stroke = f.add({{0.1, 0.1}, {0.2, 0.2}}, 4, Color{0.2, 0.4, 0.6, 1});
        stroke->endedAt = start - c.sinceEnd;
        const auto colors = callsOf<RecordingCanvas::SetColor>(f.draw(100, 100));
        if (!c.alpha) {
            EXPECT_TRUE(colors.empty());
            continue;
        }
        ASSERT_EQ(colors.size(), 1u);
        EXPECT_NEAR(colors[0].color.alpha, *c.alpha, 1e-9);
        EXPECT_EQ(colors[0].color.withAlpha(1), (Color{0.2, 0.4, 0.6, 1}));
    }
}

TEST(InkView, draws_strokes_in_list_order_and_skips_those_without_points) {
    Fixture f;
    f.add({{0.1, 0.1}, {0.2, 0.2}}, 4, Color{1, 0, 0, 1});
    f.add({});
    f.add({{0.3, 0.3}}, 4, Color{0, 1, 0, 1});
    f.add({{0.4, 0.4}, {0.5, 0.5}}, 4, Color{0, 0, 1, 1});
    const auto colors = callsOf<RecordingCanvas::SetColor>(f.draw(100, 100));
    ASSERT_EQ(colors.size(), 3u);
    EXPECT_EQ(colors[0].color, (Color{1, 0, 0, 1}));
    EXPECT_EQ(colors[1].color, (Color{0, 1, 0, 1}));
    EXPECT_EQ(colors[2].color, (Color{0, 0, 1, 1}));
}

TEST(InkView, cached_rendering_composites_each_stroke_once_in_its_colour_and_opacity) {
    Fixture f;
    f.view.setRendering(InkView::Rendering::cached);
    f.add({{0.1, 0.1}, {0.3, 0.2}, {0.2, 0.4}});
    f.add({{0.6, 0.6}})->endedAt = start - 1250ms;
    const auto calls = f.draw(200, 100);

    const auto colors = callsOf<RecordingCanvas::SetColor>(calls);
    const auto masks = callsOf<RecordingCanvas::FillMask>(calls);
    ASSERT_EQ(colors.size(), 2u);
    ASSERT_EQ(masks.size(), 2u);
    EXPECT_EQ(colors[0].color, blue);
    EXPECT_NEAR(colors[1].color.alpha, 0.5, 1e-9);
    // The masks hold the same geometry, moved to the mask's own origin.
    const auto inFirst = callsOf<RecordingCanvas::StrokePath>(*masks[0].calls);
    ASSERT_EQ(inFirst.size(), 1u);
    const auto& e = inFirst[0].path.elements;
    ASSERT_EQ(e.size(), 3u);
    expectPoint(Point{e[0].to.x + masks[0].at.x, e[0].to.y + masks[0].at.y}, {20, 10});
    expectPoint(Point{e[2].to.x + masks[0].at.x, e[2].to.y + masks[0].at.y}, {40, 40});
    const auto inSecond = callsOf<RecordingCanvas::FillOval>(*masks[1].calls);
    ASSERT_EQ(inSecond.size(), 1u);
    EXPECT_EQ((Rect{inSecond[0].rect.x + masks[1].at.x, inSecond[0].rect.y + masks[1].at.y,
                    inSecond[0].rect.width, inSecond[0].rect.height}),
              (Rect{119.25, 59.25, 1.5, 1.5}));
}

}  // namespace
}  // namespace velmora::ink
