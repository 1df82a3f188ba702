#include "ink/overlay.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <cmath>
#include <iomanip>
#include <sstream>

#include "ink/color_hex.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::ink {
namespace {

using platform::Rect;
using namespace std::chrono_literals;

std::string hex(const platform::Color& c) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    for (const double v : {c.red, c.green, c.blue})
        out << std::setw(2) << std::lround(v * 255);
    return c.alpha == 1 ? out.str() : out.str() + "?";
}

// Spaces and tabs around the colour are trimmed, also the Unicode ones (no-break and ideographic space),
// line breaks are not. A sign is read as part of the number, and a minus only gives zero. Lengths count
// characters: "f\xC3\xA9a" is three and "ff00a\xCC\x81" six (the last with a combining accent).
TEST(ColorFromHex, reads_the_notations_of_a_stroke_message) {
    const std::pair<const char*, const char*> colours[] = {
        {"#F0A", "ff00aa"},        {"f0a", "ff00aa"},         {"FF00AA", "ff00aa"},
        {"  #ff00aa  ", "ff00aa"}, {"\t#ff00aa\t", "ff00aa"}, {"\xC2\xA0#ff00aa\xE3\x80\x80", "ff00aa"},
        {"#+f00aa", "0f00aa"},     {"+f00aa", "0f00aa"},      {"-00000", "000000"},
        {"#fFf", "ffffff"},        {"#123456", "123456"}};
    for (const auto& [text, colour] : colours)
        EXPECT_EQ(hex(colorFromHex(text).value_or(platform::Color{})), colour) << text;
    // clang-format off
    const char* const notColours[] = {"##ff00aa", "#ff00a", "#ff00aa00", "#ggg", "", "#", "   ", "0x0f0a", "#ff 0aa",
        "#ff00aa\n", "\n#ff00aa", "#ff00aa\r\n", "-00001", "--0000", "++f00a", "-00", "+f0", "ff00a\xCC\x81",
        "f\xC3\xA9\x61", "\xEF\xBC\xA6\xEF\xBC\x90\xEF\xBC\xA1"};  // the last: full-width F0A
    // clang-format on
    for (const char* text : notColours)
        EXPECT_FALSE(colorFromHex(text)) << text;
}

struct Fixture {
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop desktop{loop};
    std::optional<Rect> target = Rect{0, 0, 800, 600};
    int boundsCalls = 0;  // one a tick
    std::shared_ptr<Overlay> overlay = Overlay::create(desktop, [this] { return ++boundsCalls, target; });

    auto& strokes() { return overlay->view().strokes; }
    void send(std::string_view json) { overlay->stroke(boost::json::parse(json).as_object()); }
    // Each stroke as "id#colour/width ended: x,y x,y;" (only its id when `brief`), then where the window
    // shows and whether the timer runs.
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
    const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
        // A message whose "id" or "points" is unusable is ignored whole.
        {{R"({"id":"a"})", R"({"id":"a","points":{"x":0.5,"y":0.5}})",
          R"({"id":7,"points":[{"x":0.5,"y":0.5}]})",
          R"({"id":"a","points":[{"x":0.5,"y":0.5},3],"done":true})",
          R"({"id":"a","points":[null],"done":true})", R"({"points":[{"x":0.5,"y":0.5}],"done":true})",
          R"({"id":null,"points":[]})"},
         " idle"},
        // Points are clamped to the surface; those without two finite numbers are skipped.
        {{R"({"id":"a","points":[{"x":-0.5,"y":2},{"x":0.5},{"x":"0.3","y":0.3},{"y":0.4},{"x":true,"y":0.25},
            {"x":0.5,"y":0.5},{"x":1e999,"y":0.5},{"x":0.5,"y":-1e999},{"x":1,"y":0}]})"},
         "a#ff3b30/4: 0,1 1,0.25 0.5,0.5 1,0; over 0,0 800x600"},
        // Colour and width come from the message that starts a stroke.
        {{R"({"id":"a","points":[{"x":0.1,"y":0.1}],"color":"#00ff00","width":9})",
          R"({"id":"a","points":[{"x":0.2,"y":0.2}],"color":"#0000ff","width":2})",
          R"({"id":"c","points":[],"color":"#12345","width":"7"})",
          R"({"id":"d","points":[],"color":17,"width":true})",
          R"({"id":"e","points":[],"color":" f0a ","width":-3})"},
         "a#00ff00/9: 0.1,0.1 0.2,0.2;c#ff3b30/4:;d#ff3b30/1:;e#ff00aa/-3:; over 0,0 800x600"},
        // "done" ends a stroke when it is true or 1, also in a message of no points.
        {{R"({"id":"a","points":[],"done":true})", R"({"id":"b","points":[],"done":1})",
          R"({"id":"c","points":[],"done":false})", R"({"id":"d","points":[],"done":"true"})",
          R"({"id":"e","points":[{"x":0.2,"y":0.2}],"done":2})", R"({"id":"e","points":[],"done":true})"},
         "a#ff3b30/4 ended:;b#ff3b30/4 ended:;c#ff3b30/4:;d#ff3b30/4:;e#ff3b30/4 ended: 0.2,0.2; over 0,0 "
         "800x600"},
    };
    for (const auto& [messages, state] : cases) {
        Fixture f;
        for (const auto message : messages)
            f.send(message);
        EXPECT_EQ(f.state(false), state) << messages[0];
    }
}

// The overlay's life through messages, time and the target's moves: each step does one thing (a message,
// a new target frame, "lost" target, "clear", "close", or the wall clock set "back"), lets `ms` pass, and
// gives the state then.
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
        std::istringstream frame{std::string(step)};
        Rect r;
        if (step.starts_with("{")) f.send(step);
        if (step == "lost") f.target.reset();
        if (step == "clear") f.strokes().clear(), f.overlay->tick();
        if (step == "close") f.overlay->close();
        if (step == "back") f.loop.shiftWallClock(-1h);
        if (frame >> r.x >> r.y >> r.width >> r.height) f.target = r;
        const int calls = f.boundsCalls;
        f.loop.advance(std::chrono::milliseconds(ms));
        EXPECT_EQ(f.state(), state) << "after " << step;
        if (!f.strokes().empty()) {  // 60 ticks a second while there is ink
            EXPECT_NEAR(f.boundsCalls - calls, ms * 60 / 1000, 1) << step;
        }
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
    f.loop.drain();
    const auto image = window.render();
    EXPECT_EQ(image->pixel(400, 300), (std::array<std::uint8_t, 4>{0, 0, 255, 255}));
    EXPECT_EQ(image->pixel(400, 308)[3] + image->pixel(193, 300)[3] + image->pixel(799, 599)[3], 0);
}

boost::json::object strokeMessage(std::string id, std::size_t points, bool done = false) {
    boost::json::array list(points, boost::json::object{{"x", 0.5}, {"y", 0.5}});
    return boost::json::object{{"id", std::move(id)}, {"points", std::move(list)}, {"done", done}};
}

// No message holds the main loop for long: a long one is taken a turn's worth at a time, and the messages
// after it wait their turn, so points and ends keep their order.
TEST(Overlay, long_messages_are_taken_over_several_turns_in_order) {
    Fixture f;
    const std::size_t turn = Overlay::pointsPerTurn;
    f.overlay->stroke(strokeMessage("a", 2 * turn + 7));
    EXPECT_EQ(f.strokes()[0]->points.size(), turn);
    f.overlay->stroke(strokeMessage("a", 3, true));
    EXPECT_EQ(f.strokes()[0]->points.size(), 2 * turn);
    EXPECT_EQ(f.overlay->pendingPoints(), 10u);
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
}

// Each limit is logged once, when it is first reached.
bool loggedOnce(const std::string& log, const std::string& line) {
    const auto at = log.find("] " + line + "\n");
    return at != std::string::npos && at == log.rfind("] " + line + "\n");
}

TEST(Overlay, a_page_holds_a_bounded_number_of_points) {
    testing::StderrCapture capture;
    Fixture f;
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
    EXPECT_TRUE(loggedOnce(capture.text(),
                           "A page drew a stroke of 1000000 points; its further points are ignored."));
    EXPECT_TRUE(loggedOnce(
        capture.text(), "A page's ink holds 2000000 points; further points are ignored until strokes fade."));
}

TEST(Overlay, a_page_holds_a_bounded_number_of_strokes) {
    testing::StderrCapture capture;
    Fixture f;
    for (int i = 0; i < 100'000; ++i)
        f.overlay->stroke(strokeMessage(std::to_string(i), 2));
    // The newest are kept, in order, and the unfinished ones are the newest.
    ASSERT_EQ(f.strokes().size(), Overlay::maxStrokes);
    EXPECT_EQ(f.strokes().front()->id, std::to_string(100'000 - Overlay::maxStrokes));
    for (std::size_t i = 0; i < Overlay::maxStrokes; ++i)
        EXPECT_EQ(f.strokes()[i]->endedAt.has_value(), i < Overlay::maxStrokes - Overlay::maxOpenStrokes);
    f.loop.advance(2600ms);
    EXPECT_EQ(f.strokes().size(), Overlay::maxOpenStrokes);
    EXPECT_TRUE(
        loggedOnce(capture.text(), "A page had 16 unfinished strokes; the oldest of them was finished."));
    EXPECT_TRUE(
        loggedOnce(capture.text(), "A page had 256 strokes on screen; the oldest finished one was removed."));
}

}  // namespace
}  // namespace velmora::ink
