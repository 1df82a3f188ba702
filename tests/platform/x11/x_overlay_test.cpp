// GoogleTest goes first: Xlib defines macros (None, Bool) that clash with names inside it.
#include <gtest/gtest.h>

#include "platform/x11/x_overlay.hpp"

#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/x11/x_display.hpp"
#include "support/child_process.hpp"

namespace velmora::platform::x11 {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long red = 0xff0000;
constexpr unsigned long blue = 0x0000ff;

// A red disc at a fixed place in top-left coordinates, whichever way the view's own y runs.
class DiscView : public View {
  public:
    DiscView(Point centre, double radius, bool flipped)
        : centre_(centre), radius_(radius), flipped_(flipped) {}
    void draw(Canvas& canvas, const Rect& bounds) override {
        const double y = flipped_ ? centre_.y : bounds.height - centre_.y;
        canvas.setColor(Color{1, 0, 0, 1});
        canvas.fillOval(Rect{centre_.x - radius_, y - radius_, 2 * radius_, 2 * radius_});
    }
    bool isFlipped() const override { return flipped_; }

  private:
    Point centre_;
    double radius_;
    bool flipped_;
};

std::optional<std::string> findProgram(const std::string& name) {
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string directory; std::getline(path, directory, ':');) {
        const auto candidate = std::filesystem::path(directory) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

enum class Mode { compositor, plain };

class XOverlayTest : public ::testing::TestWithParam<Mode> {
  protected:
    // The window below covers the overlay's frames; a disc of radius 30 sits at (60, 50) in the overlay.
    static constexpr Rect frame{100, 80, 200, 160};
    static constexpr Point centre{160, 130};
    static constexpr Point beside{200, 130};  // inside the frame, outside the disc

    // One connection for the whole suite: a server without -noreset starts over whenever its last client
    // leaves, and refuses connections while it does.
    static void SetUpTestSuite() {
        if (std::getenv("DISPLAY") != nullptr && *std::getenv("DISPLAY") != '\0')
            display_ = XOpenDisplay(nullptr);
    }
    static void TearDownTestSuite() {
        if (display_ != nullptr) XCloseDisplay(display_);
        display_ = nullptr;
    }

    void SetUp() override {
        VELMORA_NEED_X_DISPLAY();
        ASSERT_NE(display_, nullptr) << "cannot open the display in DISPLAY";
        if (GetParam() == Mode::compositor) {
            const auto picom = findProgram("picom");
            if (!picom) GTEST_SKIP() << "picom is not installed";
            if (!compositorRunning(display_)) {
                compositor_.emplace(
                    *picom, std::vector<std::string>{"--backend", "xrender", "--config", "/dev/null"});
                ASSERT_TRUE(compositor_->waitFor([&] { return compositorRunning(display_); }, 10s))
                    << compositor_->error();
            }
        } else if (!eventually([&] { return !compositorRunning(display_); })) {
            GTEST_SKIP() << "a compositor this test did not start runs on the display";
        }

        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = blue;
        attributes.event_mask = ButtonPressMask;
        below_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 800, 600, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                               &attributes);
        XMapRaised(display_, below_);
        ASSERT_TRUE(eventually([&] { return at(centre) == blue; }));

        overlay_ = XOverlay::create(display_, compositorRunning(display_));
        ASSERT_NE(overlay_, nullptr);
        overlay_->setContentView(std::make_shared<DiscView>(Point{60, 50}, 30, true));
        overlay_->setFrame(frame);
        overlay_->show();
    }

    void TearDown() override {
        overlay_.reset();
        if (below_ != 0) XDestroyWindow(display_, below_);
        compositor_.reset();
    }

    // The colour on screen, as the root window shows it.
    unsigned long at(Point p) {
        XImage* image = XGetImage(display_, DefaultRootWindow(display_), static_cast<int>(p.x),
                                  static_cast<int>(p.y), 1, 1, AllPlanes, ZPixmap);
        if (image == nullptr) return ~0ul;
        const unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
        XDestroyImage(image);
        return pixel;
    }

    // Runs the main loop's part of the overlay (events, then a draw) until `done` holds, for ten seconds
    // at most. Each turn asks the server, so the wait takes no longer than the effect does.
    bool eventually(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type == ButtonPress && event.xbutton.window == below_) {
                    clickedAt_ =
                        Point{static_cast<double>(event.xbutton.x), static_cast<double>(event.xbutton.y)};
                }
                if (overlay_ != nullptr) overlay_->handleEvent(event);
            }
            if (overlay_ != nullptr) overlay_->displayIfNeeded();
            if (done()) return true;
        }
        return false;
    }

    // What the server holds for this connection, by kind of resource. Cairo's pool of shared-memory
    // segments is left out: it belongs to the connection and goes when the connection closes.
    std::map<std::string, unsigned> resources() {
        int count = 0;
        XResType* types = nullptr;
        std::map<std::string, unsigned> held;
        if (XResQueryClientResources(display_, below_, &count, &types) != 0) {
            for (int i = 0; i < count; ++i) {
                char* name = XGetAtomName(display_, types[i].resource_type);
                if (name == nullptr || std::string(name) != "ShmSeg")
                    held[name != nullptr ? name : "?"] = types[i].count;
                XFree(name);
            }
            XFree(types);
        }
        return held;
    }

    bool inkShowsAt(Point disc, Point outside) { return at(disc) == red && at(outside) == blue; }

    static inline Display* display_ = nullptr;
    std::optional<testing::ChildProcess> compositor_;
    Window below_ = 0;
    std::unique_ptr<XOverlay> overlay_;
    std::optional<Point> clickedAt_;
};

TEST_P(XOverlayTest, InkCoversOnlyWhereItIsDrawnWhicheverWayTheViewsYRuns) {
    for (const bool flipped : {true, false}) {
        SCOPED_TRACE(flipped ? "flipped view" : "view with y up");
        overlay_->setContentView(std::make_shared<DiscView>(Point{60, 50}, 30, flipped));
        EXPECT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }))
            << "disc centre " << std::hex << at(centre) << ", beside it " << at(beside);
    }
}

TEST_P(XOverlayTest, ClicksOnTheInkReachTheWindowBelow) {
    ASSERT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }));
    const int screen = DefaultScreen(display_);
    XTestFakeMotionEvent(display_, screen, static_cast<int>(centre.x), static_cast<int>(centre.y),
                         CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
    ASSERT_TRUE(eventually([&] { return clickedAt_.has_value(); }));
    EXPECT_EQ(*clickedAt_, centre);  // the window below sits at the origin
}

TEST_P(XOverlayTest, SetFrameMovesTheInkAndHideTakesItAway) {
    ASSERT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }));
    const Point shift{200, 170};
    overlay_->setFrame(Rect{frame.x + shift.x, frame.y + shift.y, frame.width, frame.height});
    const Point movedCentre{centre.x + shift.x, centre.y + shift.y};
    const Point movedBeside{beside.x + shift.x, beside.y + shift.y};
    EXPECT_TRUE(eventually([&] { return inkShowsAt(movedCentre, movedBeside) && at(centre) == blue; }));

    overlay_->hide();
    EXPECT_FALSE(overlay_->isVisible());
    EXPECT_TRUE(eventually([&] { return at(movedCentre) == blue; }));
    overlay_->show();
    EXPECT_TRUE(eventually([&] { return at(movedCentre) == red; }));
}

TEST_P(XOverlayTest, DestroyingTheOverlayFreesWhatItMadeOnTheServer) {
    ASSERT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }));
    overlay_.reset();
    const auto before = resources();
    overlay_ = XOverlay::create(display_, compositorRunning(display_));
    overlay_->setContentView(std::make_shared<DiscView>(Point{60, 50}, 30, true));
    overlay_->setFrame(frame);
    overlay_->show();
    ASSERT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }));
    overlay_->setFrame(
        Rect{frame.x, frame.y, frame.width + 10, frame.height});  // new buffers for the new size
    ASSERT_TRUE(eventually([&] { return inkShowsAt(centre, beside); }));
    overlay_.reset();
    XSync(display_, False);
    EXPECT_EQ(resources(), before);
}

INSTANTIATE_TEST_SUITE_P(Screens, XOverlayTest, ::testing::Values(Mode::compositor, Mode::plain),
                         [](const auto& info) {
                             return info.param == Mode::compositor ? "compositor" : "plain";
                         });

}  // namespace
}  // namespace velmora::platform::x11
