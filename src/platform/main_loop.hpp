#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velmora::platform {

using Duration = std::chrono::duration<double>;  // seconds
using TimePoint = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

class MainLoop;

// A repeating timer. It stops firing when invalidated or destroyed; the loop never keeps it alive.
class Timer {
  public:
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void invalidate();
    bool isValid() const { return id_.has_value(); }

  private:
    friend class MainLoop;
    Timer(MainLoop& loop, std::uint64_t id) : loop_(&loop), id_(id) {}
    MainLoop* loop_;
    std::optional<std::uint64_t> id_;
};

// Calls its owner back on the loop each time a file descriptor can be read, until it is destroyed. The
// descriptor stays its owner's.
class FdWatch {
  public:
    ~FdWatch();
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;

  private:
    friend class MainLoop;
    FdWatch(MainLoop& loop, int fd, std::function<void()> onReadable);
    void arm();

    MainLoop& loop_;
    boost::asio::posix::stream_descriptor descriptor_;
    std::function<void()> onReadable_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The program's main thread: FIFO posted tasks, one-shot delayed tasks and repeating timers, over an
// io_context run by whoever calls run(), runUntil() or advance().
//
// With Time::manual the clock only moves when advance() is called, so timings (the injector's settle
// interval, the ink's fade, the permission check) are tested without sleeping. It keeps two clocks, as
// the platform does: a monotonic one for timers and a wall clock for dates, which shiftWallClock() can
// move on its own.
class MainLoop {
  public:
    enum class Time { real, manual };

    explicit MainLoop(Time time = Time::real);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    bool isManual() const { return time_ == Time::manual; }
    TimePoint now() const;
    WallTime wallNow() const;

    // Safe from any thread. Tasks run on the loop's thread in the order they were posted.
    void post(std::function<void()> task);
    // Loop thread only. Runs `task` once, `delay` from now on the monotonic clock.
    void postAfter(Duration delay, std::function<void()> task);
    // Loop thread only. Fires `action` every `interval` until the returned timer is invalidated or destroyed.
    std::unique_ptr<Timer> repeat(Duration interval, std::function<void()> action);

    // Loop thread only. Watches `fd` for reading; see FdWatch.
    std::unique_ptr<FdWatch> watch(int fd, std::function<void()> onReadable);
    // Loop thread only. `hook` runs after every posted task, timer and watch callback: a backend whose
    // library reads events ahead into its own queue handles them even when its descriptor shows nothing.
    void afterEachTask(std::function<void()> hook) { hooks_.push_back(std::move(hook)); }

    // Runs until stop().
    void run();
    // Safe from any thread.
    void stop();

    // For tests and tools: run the loop (real waiting, no sleeping) until `done` holds or `timeout` of real
    // time has passed; true when `done` held.
    bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::seconds(10));
    // Runs every task that is ready now, including tasks they post.
    void drain();
    // Manual clock: moves both clocks forward by `by`, firing due timers in time order and running posted
    // tasks between them.
    void advance(Duration by);
    // Manual clock: moves only the wall clock.
    void shiftWallClock(Duration by);

    boost::asio::io_context& context() { return io_; }

  private:
    friend class Timer;
    friend class FdWatch;
    void runHooks();
    struct Scheduled {
        std::uint64_t id;
        std::function<void()> task;
        std::optional<Duration> interval;
    };
    using Queue = std::multimap<TimePoint, Scheduled>;

    std::uint64_t schedule(TimePoint due, std::function<void()> task, std::optional<Duration> interval);
    void cancel(std::uint64_t id);
    bool fireNextDue(TimePoint until);
    void armTimer();

    Time time_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    boost::asio::steady_timer wake_;
    Queue queue_;
    std::uint64_t nextId_ = 1;
    TimePoint manualNow_;
    WallTime manualWallStart_;
    Duration wallShift_{0};
    TimePoint manualStart_;
    std::vector<std::function<void()>> hooks_;
};

}  // namespace velmora::platform
