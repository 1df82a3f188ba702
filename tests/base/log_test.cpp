#include "base/log.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/stderr_capture.hpp"

namespace velmora {
namespace {

using namespace std::chrono;

TEST(Log, line_is_bracketed_utc_timestamp_space_message_newline_whatever_the_time_zone) {
    const auto when = sys_days{2026y / 12 / 31} + 14h + 5min + 9s + 999ms;
    setenv("TZ", "Pacific/Kiritimati", 1), tzset();  // 14 hours ahead: another day, month and year there
    for (const auto& [message, line] : std::vector<std::pair<std::string, std::string>>{
             {"x", "[2026-12-31T14:05:09Z] x\n"},
             {"two\nlines", "[2026-12-31T14:05:09Z] two\nlines\n"},
             {"caf\xc3\xa9 \xe2\x80\x94 ok", "[2026-12-31T14:05:09Z] caf\xc3\xa9 \xe2\x80\x94 ok\n"}})
        EXPECT_EQ(logLine(when, message), line);
    unsetenv("TZ"), tzset();
}

TEST(Log, lines_from_many_threads_never_interleave) {
    testing::StderrCapture capture;
    std::vector<std::jthread> threads;
    for (char t = 'a'; t < 'i'; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                log(std::string(100, t));
        });
    threads.clear();
    std::istringstream text(capture.text());
    std::size_t lines = 0;
    for (std::string line; std::getline(text, line); ++lines) {
        ASSERT_EQ(line.size(), 123u) << line;
        EXPECT_EQ(line.substr(23), std::string(100, line[23]));
    }
    EXPECT_EQ(lines, 8u * 200u);
}

}  // namespace
}  // namespace velmora
