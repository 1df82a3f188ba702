#include "platform/main_loop.hpp"

#include <boost/asio/post.hpp>

namespace velmora::platform {

namespace {
std::chrono::steady_clock::duration toSteady(Duration d) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(d);
}
}  // namespace

Timer::~Timer() {
    invalidate();
}

void Timer::invalidate() {
    if (id_) loop_->cancel(*id_);
    id_.reset();
}

MainLoop::MainLoop(Time time)
    : time_(time),
      work_(boost::asio::make_work_guard(io_)),
      wake_(io_),
      manualNow_(std::chrono::steady_clock::now()),
      manualWallStart_(std::chrono::system_clock::now()),
      manualStart_(manualNow_) {}

MainLoop::~MainLoop() {
    work_.reset();
    wake_.cancel();
}

TimePoint MainLoop::now() const {
    return isManual() ? manualNow_ : std::chrono::steady_clock::now();
}

WallTime MainLoop::wallNow() const {
    const auto shift = std::chrono::duration_cast<std::chrono::system_clock::duration>(wallShift_);
    if (!isManual()) return std::chrono::system_clock::now() + shift;
    return manualWallStart_ +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(manualNow_ - manualStart_) + shift;
}

void MainLoop::post(std::function<void()> task) {
    boost::asio::post(io_, [this, task = std::move(task)] {
        task();
        runHooks();
    });
}

void MainLoop::runHooks() {
    for (const auto& hook : hooks_)
        hook();
}

FdWatch::FdWatch(MainLoop& loop, int fd, std::function<void()> onReadable)
    : loop_(loop), descriptor_(loop.context(), fd), onReadable_(std::move(onReadable)) {
    arm();
}

FdWatch::~FdWatch() {
    *alive_ = false;
    boost::system::error_code ignored;
    descriptor_.cancel(ignored);
    descriptor_.release();  // the descriptor is not ours to close
}

void FdWatch::arm() {
    descriptor_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                           [this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& ec) {
                               const auto live = alive.lock();
                               if (!live || !*live || ec) return;
                               onReadable_();
                               // The callback may have destroyed this watch.
                               if (!*live) return;
                               loop_.runHooks();
                               arm();
                           });
}

std::unique_ptr<FdWatch> MainLoop::watch(int fd, std::function<void()> onReadable) {
    return std::unique_ptr<FdWatch>(new FdWatch(*this, fd, std::move(onReadable)));
}

void MainLoop::postAfter(Duration delay, std::function<void()> task) {
    schedule(now() + toSteady(delay), std::move(task), std::nullopt);
}

std::unique_ptr<Timer> MainLoop::repeat(Duration interval, std::function<void()> action) {
    const auto id = schedule(now() + toSteady(interval), std::move(action), interval);
    return std::unique_ptr<Timer>(new Timer(*this, id));
}

std::uint64_t MainLoop::schedule(TimePoint due, std::function<void()> task,
                                 std::optional<Duration> interval) {
    const auto id = nextId_++;
    queue_.emplace(due, Scheduled{id, std::move(task), interval});
    armTimer();
    return id;
}

void MainLoop::cancel(std::uint64_t id) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->second.id == id) {
            queue_.erase(it);
            return;
        }
    }
}

// Fires the earliest entry due at or before `until`; a repeating one is put back one interval later
// (never in the past, so a stalled loop skips beats instead of bursting).
bool MainLoop::fireNextDue(TimePoint until) {
    if (queue_.empty() || queue_.begin()->first > until) return false;
    auto node = queue_.extract(queue_.begin());
    Scheduled entry = std::move(node.mapped());
    if (isManual()) manualNow_ = std::max(manualNow_, node.key());
    if (entry.interval) {
        auto next = node.key() + toSteady(*entry.interval);
        if (next <= now()) next = now() + toSteady(*entry.interval);
        // Keep the same id, so the Timer handle can still cancel it; copy the action for this firing
        // in case the action invalidates its own timer.
        auto action = entry.task;
        queue_.emplace(next, std::move(entry));
        action();
    } else {
        entry.task();
    }
    runHooks();
    return true;
}

void MainLoop::armTimer() {
    if (isManual() || queue_.empty()) return;
    wake_.expires_at(queue_.begin()->first);
    wake_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        const auto limit = std::chrono::steady_clock::now();
        // Only entries already due fire now; entries added while firing wait for their own wake-up.
        std::size_t budget = queue_.size();
        while (budget-- > 0 && fireNextDue(limit)) {
        }
        armTimer();
    });
}

void MainLoop::run() {
    if (io_.stopped()) io_.restart();
    io_.run();
}

void MainLoop::stop() {
    io_.stop();
}

bool MainLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + toSteady(timeout);
    if (io_.stopped()) io_.restart();
    while (true) {
        drain();
        if (done()) return true;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        // Short slices: `done` may be made true by another thread without anything reaching this loop.
        io_.run_one_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(5)));
        if (io_.stopped()) io_.restart();
    }
}

void MainLoop::drain() {
    if (io_.stopped()) io_.restart();
    while (io_.poll() > 0) {
    }
}

void MainLoop::advance(Duration by) {
    const auto target = manualNow_ + toSteady(by);
    drain();
    while (fireNextDue(target))
        drain();
    manualNow_ = std::max(manualNow_, target);
    drain();
}

void MainLoop::shiftWallClock(Duration by) {
    wallShift_ += by;
}

}  // namespace velmora::platform
