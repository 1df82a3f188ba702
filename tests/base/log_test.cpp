#include "base/log.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/stderr_capture.hpp"

namespace velmora {
namespace {

std::chrono::system_clock::time_point at(int year, int month, int day, int hour, int minute, int second) {
    using namespace std::chrono;
    return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} + seconds{second};
}

TEST(Log, line_is_bracketed_utc_timestamp_space_message_newline) {
    struct Case {
        std::string message;
        std::string expected;
    };
    const auto when = at(2026, 3, 1, 14, 5, 9) + std::chrono::milliseconds(999);
    for (const Case& c : std::vector<Case>{
             {"x", "[2026-03-01T14:05:09Z] x\n"},
             {"", "[2026-03-01T14:05:09Z] \n"},
             {"two\nlines", "[2026-03-01T14:05:09Z] two\nlines\n"},
             {"caf\xc3\xa9 \xe2\x80\x94 ok", "[2026-03-01T14:05:09Z] caf\xc3\xa9 \xe2\x80\x94 ok\n"},
         }) {
        EXPECT_EQ(logLine(when, c.message), c.expected);
    }
    EXPECT_EQ(logLine(when, "x").size(), 25u);
}

TEST(Log, timestamp_is_utc_whatever_the_time_zone) {
    setenv("TZ", "Pacific/Kiritimati", 1);
    tzset();
    EXPECT_EQ(logLine(at(2026, 12, 31, 23, 0, 0), "x"), "[2026-12-31T23:00:00Z] x\n");
    unsetenv("TZ");
    tzset();
}

TEST(Log, lines_from_many_threads_never_interleave) {
    testing::StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                log(std::string(100, static_cast<char>('a' + t)));
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string text = capture.text();
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        ASSERT_EQ(line.size(), 23u + 100u);
        EXPECT_EQ(line.substr(23), std::string(100, line[23]));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 8u * 200u);
}

}  // namespace
}  // namespace velmora
