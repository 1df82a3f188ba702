#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

// Last: Xlib's macros (None, Bool, Status...) would break the headers above.
#include <X11/Xlib.h>

namespace velmora::platform::x11::testing {

// A test on the X server named by $DISPLAY, with its own connection. Without a display it is skipped, unless
// VELMORA_REQUIRE_X11=1 says a display was promised (scripts/test starts one), in which case it fails.
class XDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* name = std::getenv("DISPLAY");
        if (name == nullptr || *name == '\0') {
            const char* required = std::getenv("VELMORA_REQUIRE_X11");
            if (required != nullptr && std::string_view(required) == "1") {
                FAIL() << "VELMORA_REQUIRE_X11=1 but DISPLAY is not set";
            }
            GTEST_SKIP() << "DISPLAY is not set; start an X session with scripts/x-session";
        }
        display_ = XOpenDisplay(name);
        ASSERT_NE(display_, nullptr) << "cannot open X display " << name;
    }
    void TearDown() override {
        if (display_ != nullptr) XCloseDisplay(display_);
    }

    Display* display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }

  private:
    Display* display_ = nullptr;
};

}  // namespace velmora::platform::x11::testing
