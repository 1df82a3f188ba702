#pragma once

#include <string>

// The one place the X11 backend names the log's header, so that moving the log touches one line.
#include "base/log.hpp"

namespace velmora::platform::x11 {

// Every line the backend writes starts with "X11: ", so that a user can tell which part of the desktop
// something is about.
inline void log(const std::string& sentence) {
    velmora::log("X11: " + sentence);
}

}  // namespace velmora::platform::x11
