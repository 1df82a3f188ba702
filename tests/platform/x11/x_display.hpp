#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace velmora::testing {

// The X display the tests run on, from $DISPLAY; nullptr when it is unset or empty.
inline const char* testDisplay() {
    const char* name = std::getenv("DISPLAY");
    return name != nullptr && *name != '\0' ? name : nullptr;
}

// VELMORA_REQUIRE_X11=1 says a display was promised (scripts/test starts one).
inline bool displayPromised() {
    const char* required = std::getenv("VELMORA_REQUIRE_X11");
    return required != nullptr && std::string_view(required) == "1";
}

}  // namespace velmora::testing

// In a test's SetUp: without a display the test is skipped, or fails when a display was promised.
#define VELMORA_NEED_X_DISPLAY()                                                             \
    do {                                                                                     \
        if (::velmora::testing::testDisplay() == nullptr) {                                  \
            if (::velmora::testing::displayPromised())                                       \
                FAIL() << "VELMORA_REQUIRE_X11=1 but DISPLAY is not set";                    \
            GTEST_SKIP() << "DISPLAY is not set; start an X session with scripts/x-session"; \
        }                                                                                    \
    } while (false)
