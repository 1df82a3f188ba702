#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <random>
#include <sstream>

#include "ink/color_hex.hpp"
#include "ink/overlay.hpp"
#include "ink/stroke_geometry.hpp"
#include "platform/cairo/cairo_canvas.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::ink {
namespace {

using platform::Color;
using platform::Point;
using platform::Rect;
using Strokes = std::vector<std::shared_ptr<InkStroke>>;
using Pixel = std::array<std::uint8_t, 4>;
using namespace std::chrono_literals;

const platform::WallTime start = platform::WallTime{} + std::chrono::hours(24 * 365 * 50);

std::string hex(const Color& c) {
    const long rgb =
        std::lround(c.red * 255) << 16 | std::lround(c.green * 255) << 8 | std::lround(c.blue * 255);
    return (std::ostringstream() << std::hex << std::setfill('0') << std::setw(6) << rgb).str();
}

// Unicode spaces are trimmed too, line breaks not; a minus only for zero; lengths count characters.
TEST(ColorFromHex, reads_the_notations_of_a_stroke_message) {
    const std::pair<const char*, const char*> colours[] = {
        {"#F0A", "ff00aa"},        {"f0a", "ff00aa"},     {"  #ff00aa  ", "ff00aa"},
        {"\t#ff00aa\t", "ff00aa"}, {"#+f00aa", "0f00aa"}, {"\xC2\xA0#ff00aa\xE3\x80\x80", "ff00aa"},
        {"+f00aa", "0f00aa"},      {"#123456", "123456"}, {"-00000", "000000"}};
    for (const auto& [text, colour] : colours)
        EXPECT_EQ(hex(colorFromHex(text).value_or(platform::Color{})), colour) << text;
    // clang-format off
    for (const char* text : {"##ff00aa", "#ff00a", "#ff00aa00", "#ggg", "", "#", "   ", "0x0f0a", "#ff 0aa",
             "#ff00aa\n", "\n#ff00aa", "#ff00aa\r\n", "-00001", "--0000", "++f00a", "-00", "+f0", "ff00a\xCC\x81",
             "f\xC3\xA9\x61", "\xEF\xBC\xA6\xEF\xBC\x90\xEF\xBC\xA1"})  // the last: full-width F0A
        // clang-format on
        EXPECT_FALSE(colorFromHex(text)) << text;
}

std::shared_ptr<InkStroke> makeStroke(std::vector<Point> points, Color color = {0, 0, 1, 1}, double width = 4,
                                      std::optional<platform::WallTime> endedAt = {}) {
    auto stroke = std::make_shared<InkStroke>("s", color, width);
    stroke->points = std::move(points), stroke->endedAt = endedAt;
    return stroke;
}

// A stroke's path on a view of 60 × 30 as text: M(ove), L(ine) and C(urve) with their points.
std::string path(const std::vector<Point>& points) {
    std::ostringstream out;
    for (const auto& e : pieceGroup(points, 1, {60, 30}, 4).path.elements) {
        out << ' ' << "MLC"[static_cast<int>(e.kind)];
        for (const Point p : {e.control1, e.control2, e.to})
            if (e.kind == platform::PathElement::Kind::curveTo || p == e.to) out << ' ' << p.x << ',' << p.y;
    }
    return out.str();
}

// Pieces: quadratics between midpoints as cubics, then a line to the last point. Widths in points of a
// surface 1280 wide, at least 1.5, at most what covers the view; a finished stroke fades over 2.5 s.
TEST(InkGeometry, strokes_are_smoothed_scaled_and_faded) {
    EXPECT_EQ(path({{0, 0.2}, {0.5, 0.2}, {0.5, 0.6}, {1, 0.6}}),
              " M 0,6 C 20,6 30,8 30,12 C 30,16 35,18 45,18 L 60,18");
    const std::array<double, 3> widths[] = {{4, 2560, 8},          {4, 320, 1.5},      {-HUGE_VAL, 1280, 1.5},
                                            {HUGE_VAL, 2560, 1.5}, {2000, 1280, 2000}, {1e300, 1280, 2760}};
    for (const auto& [width, viewWidth, expected] : widths)
        EXPECT_DOUBLE_EQ(lineWidth(width, {viewWidth, 100}), expected) << width << " on " << viewWidth;
    EXPECT_EQ(lineWidth(std::nan(""), {1280, 100}), 1.5);
    const std::pair<std::chrono::milliseconds, double> fades[] = {
        {0ms, 1}, {1250ms, 0.5}, {2000ms, 0.2}, {2499ms, 0.0004}, {2500ms, 0}, {-5000ms, 1}};
    for (const auto& [age, opacity] : fades)
        EXPECT_NEAR(strokeOpacity(start - age, start), opacity, 1e-9) << age.count() << " ms";
}

// The largest difference of any channel of any pixel between the cached rendering, drawn until it has
// caught up over frames of bounded work, and the straightforward one of `expected` (by default the same).
int frames = 0;
int difference(StrokeCache& cache, const Strokes& strokes, int width, int height,
               platform::WallTime now = start, const Strokes* expected = nullptr) {
    platform::CairoImage cached(width, height), direct(width, height);
    const platform::Size size{double(width), double(height)};
    do {
        cached.canvas().clearRect(Rect{0, 0, size.width, size.height});
        cache.draw(cached.canvas(), strokes, size, now), ++frames;
        EXPECT_TRUE(cache.lastWork() <= StrokeCache::workPerFrame || cache.lastGroups() == 1);
    } while (cache.behind());
    drawStrokesDirectly(direct.canvas(), expected ? *expected : strokes, size, now);
    cairo_surface_flush(cached.surface()), cairo_surface_flush(direct.surface());
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
        const double widths[] = {1, 4, 9, 30, HUGE_VAL, 1e9};
        // One stroke is drawn along the view's edges, a point a frame, as a page sends a reviewer's pointer.
        const auto edge = makeStroke({}, {0.8, 0.1, 0.3, 1}, 10);
        Strokes strokes{edge};
        StrokeCache cache;
        auto now = start;
        int width = 320, height = 240;
        for (int frame = 0; frame < 60; ++frame) {
            const double along = frame * 0.02;
            edge->points.push_back(along < 0.4 ? Point{0, 0.6 + along} : Point{along - 0.4, 1});
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

// A stroke of many points, every piece from corner to corner and crossing all the others, is drawn over
// frames; masks are kept within the budget, and a stroke without room waits until another one is gone.
TEST(InkRendering, the_cache_bounds_the_work_of_a_frame_and_its_memory) {
    const Strokes crossing{makeStroke({}, {0, 0.3, 0.9, 1})};
    for (int i = 0; i < 20'000; ++i)
        crossing[0]->points.push_back({double(i % 4 == 1 || i % 4 == 2), double(i % 4 % 2)});
    StrokeCache cache, small(64 * 1024);
    frames = 0;
    EXPECT_LE(difference(cache, crossing, 64, 40), 1);
    EXPECT_GT(frames, 10);
    Strokes strokes{makeStroke({{0.1, 0.1}, {0.45, 0.5}}, {1, 0, 0, 1}, 4, start),  // about 39 KiB each
                    makeStroke({{0.5, 0.5}, {0.85, 0.9}}, {0, 1, 0, 1}, 4, start)};
    const Strokes first{strokes[0]};
    EXPECT_LE(difference(small, strokes, 640, 400, start, &first), 1);
    EXPECT_LE(small.maskBytes(), 64u * 1024u);
    strokes.erase(strokes.begin());
    EXPECT_LE(difference(small, strokes, 640, 400), 1);
}

struct Fixture {
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop desktop{loop};
    std::optional<Rect> target = Rect{0, 0, 800, 600};
    int boundsCalls = 0;
    std::shared_ptr<Overlay> overlay = Overlay::create(desktop, [this] { return ++boundsCalls, target; });

    auto& strokes() { return overlay->view().strokes; }
    void send(std::string_view json) { overlay->stroke(boost::json::parse(json).as_object()); }
    // Each stroke as "id#colour/width ended: x,y x,y;" (its id only when `brief`), the window, the timer.
    std::string state(bool brief = true) {
        std::ostringstream out;
        for (const auto& s : strokes()) {
            out << s->id;
            if (brief) continue;
            out << '#' << hex(s->color) << '/' << s->width << (s->endedAt ? " ended:" : ":");
            for (const auto& p : s->points)
                out << ' ' << p.x << ',' << p.y;
            out << ';';
        }
        const Rect r = overlay->window().frame();
        if (overlay->window().isVisible())
            out << " over " << r.x << ',' << r.y << ' ' << r.width << 'x' << r.height;
        return out.str() + (overlay->timerRunning() ? "" : " idle");
    }
};

TEST(Overlay, applies_stroke_messages) {
    // clang-format off
    const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
        // A message whose "id" or "points" is unusable is ignored whole.
        {{R"({"id":"a"})", R"({"id":"a","points":{"x":0.5,"y":0.5}})", R"({"id":7,"points":[{"x":0.5,"y":0.5}]})",
          R"({"id":null,"points":[]})", R"({"id":"a","points":[{"x":0.5,"y":0.5},3],"done":true})",
          R"({"id":"a","points":[null],"done":true})", R"({"points":[{"x":0.5,"y":0.5}],"done":true})"},
         " idle"},
        // Points are clamped to the surface; those without two finite numbers are skipped.
        {{R"({"id":"a","points":[{"x":-0.5,"y":2},{"x":0.5},{"x":"0.3","y":0.3},{"y":0.4},{"x":true,"y":0.25},
            {"x":0.5,"y":0.5},{"x":1e999,"y":0.5},{"x":0.5,"y":-1e999},{"x":1,"y":0}]})"},
         "a#ff3b30/4: 0,1 1,0.25 0.5,0.5 1,0; over 0,0 800x600"},
        // Colour and width come from the message that starts a stroke.
        {{R"({"id":"a","points":[{"x":0.1,"y":0.1}],"color":"#00ff00","width":9})",
          R"({"id":"a","points":[{"x":0.2,"y":0.2}],"color":"#0000ff","width":2})",
          R"({"id":"c","points":[],"color":"#12345","width":"7"})",
          R"({"id":"e","points":[],"color":" f0a ","width":-3})"},
         "a#00ff00/9: 0.1,0.1 0.2,0.2;c#ff3b30/4:;e#ff00aa/-3:; over 0,0 800x600"},
        // "done" ends a stroke when it is true or 1.
        {{R"({"id":"a","points":[],"done":1})", R"({"id":"b","points":[],"done":"true"})",
          R"({"id":"c","points":[{"x":0.2,"y":0.2}],"done":2})"},
         "a#ff3b30/4 ended:;b#ff3b30/4:;c#ff3b30/4: 0.2,0.2; over 0,0 800x600"}};
    // clang-format on
    for (const auto& [messages, state] : cases) {
        Fixture f;
        for (const auto message : messages)
            f.send(message);
        EXPECT_EQ(f.state(false), state) << messages[0];
    }
}

// Each step does one thing (a message, a new target frame, "lost" target, "clear", "close", or the wall
// clock set "back"), lets `ms` pass, and gives the state then.
TEST(Overlay, shows_ink_over_the_target_until_it_fades) {
    const std::tuple<std::string_view, int, std::string_view> steps[] = {
        {R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":true})", 0, "a over 0,0 800x600"},
        {R"({"id":"b","points":[{"x":0.2,"y":0.2}],"done":true})", 1000, "ab over 0,0 800x600"},
        {R"({"id":"c","points":[{"x":0.3,"y":0.3}]})", 1000, "abc over 0,0 800x600"},
        {R"({"id":"b","points":[],"done":true})", 490, "abc over 0,0 800x600"},  // b's fade starts over
        {"", 30, "bc over 0,0 800x600"},                        // the first tick at or past 2.5 s removes a
        {"700 100 -400 300", 1950, "bc over 300,100 400x300"},  // followed within a tick
        {"", 60, "c over 300,100 400x300"},                     // strokes that never end stay
        {"lost", 60'000, "c"},                                  // waiting, with the timer running
        {R"({"id":"a","points":[{"x":0.5,"y":0.5}],"done":true})", 1000, "ca"},  // a new stroke on top
        {"back", 0, "ca"},  // a wall clock set back does not hold fading ink
        {"0 0 640 480", 2540, "c over 0,0 640x480"},
        {"clear", 0, " idle"},
        {R"({"id":"a","points":[{"x":0.5,"y":0.5}]})", 0, "a over 0,0 640x480"},
        {"close", 0, " idle"},
        {R"({"id":"a","points":[{"x":0.5,"y":0.5}],"done":true})", 2520, " idle"},
    };
    Fixture f;
    for (const auto& [step, ms, state] : steps) {
        if (step.starts_with("{")) f.send(step);
        if (step == "lost") f.target.reset();
        if (step == "clear") f.strokes().clear(), f.overlay->tick();
        if (step == "close") f.overlay->close();
        if (step == "back") f.loop.shiftWallClock(-1h);
        if (Rect r; std::istringstream(std::string(step)) >> r.x >> r.y >> r.width >> r.height) f.target = r;
        const int calls = f.boundsCalls;
        f.loop.advance(std::chrono::milliseconds(ms));
        EXPECT_EQ(f.state(), state) << "after " << step;
        EXPECT_TRUE(f.strokes().empty() || std::abs(f.boundsCalls - calls - ms * 60 / 1000) <= 1)
            << "60 ticks/s";
    }
    // The frame is set when it changes only: 800 × 600, 400 × 300, 640 × 480.
    EXPECT_EQ(dynamic_cast<platform::sim::SimOverlayWindow&>(f.overlay->window()).frameChanges(), 3);
    f.overlay.reset();
    f.loop.advance(1s);  // its timer is harmless
    EXPECT_TRUE(f.desktop.overlayWindows().empty());
}

TEST(Overlay, the_window_shows_the_ink_where_the_reviewer_drew_it) {
    overlayCapturable = true;  // may appear in screen captures: read-only sharing
    Fixture f;
    overlayCapturable = false;
    const auto& window = dynamic_cast<platform::sim::SimOverlayWindow&>(f.overlay->window());
    EXPECT_EQ(window.attributes().sharingType, platform::mac::SharingType::readOnly);
    f.send(R"({"id":"a","points":[{"x":0.25,"y":0.5},{"x":0.75,"y":0.5}],"color":"#0000ff","width":16})");
    f.send(R"({"id":"b","points":[{"x":0.5,"y":0.25}],"color":"#00ff00","width":32})");
    const auto image = window.render();
    // A line of half width 5 with round caps, and a dot of radius 10.
    for (const auto& [x, y] : {std::pair{400, 300}, {196, 300}, {603, 300}})
        EXPECT_EQ(image->pixel(x, y), (Pixel{0, 0, 255, 255})) << x << ',' << y;
    EXPECT_EQ(image->pixel(400, 150), (Pixel{0, 255, 0, 255}));
    EXPECT_EQ(image->pixel(400, 306)[3] + image->pixel(193, 300)[3] + image->pixel(391, 141)[3], 0);
}

boost::json::object strokeMessage(std::string id, std::size_t points, bool done = false) {
    boost::json::array list(points, boost::json::object{{"x", 0.5}, {"y", 0.5}});
    return boost::json::object{{"id", std::move(id)}, {"points", std::move(list)}, {"done", done}};
}

// No message holds the main loop for long: a long one is taken a turn's worth at a time, and the messages
// after it wait their turn, so points and ends keep their order. A page's ink is bounded.
TEST(Overlay, takes_long_messages_in_turns_and_holds_bounded_ink) {
    testing::StderrCapture capture;
    Fixture f;
    const std::size_t turn = Overlay::pointsPerTurn;
    f.overlay->stroke(strokeMessage("a", 2 * turn + 7));
    EXPECT_EQ(f.strokes()[0]->points.size(), turn);
    f.overlay->stroke(strokeMessage("a", 3, true));
    EXPECT_EQ(f.strokes()[0]->points.size() + f.overlay->pendingPoints(), 2 * turn + 10);
    EXPECT_FALSE(f.strokes()[0]->endedAt);
    f.overlay->tick();
    EXPECT_EQ(f.strokes()[0]->points.size(), 2 * turn + 10);
    EXPECT_TRUE(f.strokes()[0]->endedAt);
    // What the ink took from long messages is handed on to be freed elsewhere, also when it closes.
    std::size_t discarded = 0;
    f.overlay->discard = [&](boost::json::array&& points) { discarded += points.size(); };
    f.overlay->stroke(strokeMessage("d", 2 * turn));
    f.overlay->close();
    EXPECT_EQ(discarded, 2 * turn);
    // Clearing takes the waiting points of the cleared strokes with it.
    f.overlay->stroke(strokeMessage("c", 2 * turn));
    f.strokes().clear();
    f.overlay->tick();
    EXPECT_EQ(f.overlay->pendingPoints() + f.strokes().size(), 0u);
    auto send = [&f](std::string id, std::size_t points, bool done = false) {
        f.overlay->stroke(strokeMessage(std::move(id), points, done));
        while (f.overlay->pendingPoints() > 0)
            f.overlay->tick();
    };
    send("a", Overlay::maxStrokePoints + 10);
    send("a", 10);
    EXPECT_EQ(f.strokes()[0]->points.size(), Overlay::maxStrokePoints);
    // Other strokes fill up to the overlay's limit, and get room again as strokes fade.
    send("b", Overlay::maxStrokePoints - 5, true);
    send("c", 20);
    EXPECT_EQ(f.strokes()[2]->points.size(), 5u);
    f.loop.advance(2600ms);
    send("c", 20);
    EXPECT_EQ(f.strokes()[1]->points.size(), 25u);
    for (int i = 0; i < 100'000; ++i)
        f.overlay->stroke(strokeMessage(std::to_string(i), 2));
    // The newest are kept, in order, and the unfinished ones are the newest.
    ASSERT_EQ(f.strokes().size(), Overlay::maxStrokes);
    EXPECT_EQ(f.strokes().front()->id, std::to_string(100'000 - Overlay::maxStrokes));
    for (std::size_t i = 0; i < Overlay::maxStrokes; ++i)
        EXPECT_EQ(f.strokes()[i]->endedAt.has_value(), i < Overlay::maxStrokes - Overlay::maxOpenStrokes);
    f.loop.advance(2600ms);
    EXPECT_EQ(f.strokes().size(), Overlay::maxOpenStrokes);
    // Each limit is logged once, when it is first reached.
    for (std::string line :
         {"A page drew a stroke of 1000000 points; its further points are ignored.",
          "A page's ink holds 2000000 points; further points are ignored until strokes fade.",
          "A page had 16 unfinished strokes; the oldest of them was finished.",
          "A page had 256 strokes on screen; the oldest finished one was removed."}) {
        const auto log = capture.text(), at = "] " + line + "\n";
        EXPECT_TRUE(log.find(at) != log.npos && log.find(at) == log.rfind(at)) << line;
    }
}

}  // namespace
}  // namespace velmora::ink
