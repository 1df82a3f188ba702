// One frame of ink at 1920 × 1080 through Cairo, drawn by the view's cached rendering and by the
// straightforward full redraw, in the same run. Half the strokes are fading (their opacity changes at
// every frame) and one stroke is being drawn (it gains a point at every frame, as a reviewer's pointer
// gives them). Strokes are hand-like walks of about 3 points between samples at the view's scale, which
// makes the full redraw of 50 × 500 points cost about 40 ms here.
//
//   cmake -S . -B build-ink-release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-ink-release --target ink_bench && build-ink-release/bench/ink_bench
//
// Two more cases: a page's stroke of 1,000,000 points that cross one another, sent in one message (the
// cached rendering strokes it over many frames, each of bounded work: the figure is its mean frame while
// it draws, and how many frames it took; the full redraw draws it whole in one frame), and a zigzag
// across the view grown one point per frame, each point reshaping the end of the stroke.
//
// Prints Google Benchmark's table, then one line per case: milliseconds per frame, cached against full.

#include <benchmark/benchmark.h>
#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ink/ink_view.hpp"
#include "platform/cairo/cairo_canvas.hpp"

namespace {

using velmora::ink::InkStroke;
using velmora::ink::InkView;
using velmora::platform::Point;

constexpr int viewWidth = 1920;
constexpr int viewHeight = 1080;
const velmora::platform::WallTime epoch = velmora::platform::WallTime{} + std::chrono::hours(24 * 365 * 50);

std::vector<Point> walk(std::mt19937& random, std::size_t count) {
    std::uniform_real_distribution<double> unit(0, 1);
    std::uniform_real_distribution<double> turn(-0.35, 0.35);
    constexpr double step = 0.0015;
    double x = 0.1 + 0.8 * unit(random), y = 0.1 + 0.8 * unit(random), heading = unit(random) * 6.283;
    std::vector<Point> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        points.push_back({x, y});
        heading += turn(random);
        x += std::cos(heading) * step;
        y += std::sin(heading) * step * viewWidth / viewHeight;
        if (x < 0 || x > 1) heading = M_PI - heading;
        if (y < 0 || y > 1) heading = -heading;
        x = std::clamp(x, 0.0, 1.0);
        y = std::clamp(y, 0.0, 1.0);
    }
    return points;
}

struct Scene {
    velmora::platform::WallTime now = epoch;
    InkView view{[this] { return now; }};
    std::shared_ptr<InkStroke> growing;
    std::vector<Point> growingStart;
    std::vector<Point> continuation;
    std::size_t next = 0;
    int frame = 0;

    Scene(int strokes, std::size_t points, InkView::Rendering rendering, bool zigzag = false) {
        view.setRendering(rendering);
        std::mt19937 random(2024);
        for (int i = 0; i < strokes; ++i) {
            auto stroke =
                std::make_shared<InkStroke>(std::to_string(i), velmora::platform::Color{0.9, 0.2, 0.1, 1}, 4);
            stroke->points = walk(random, points);
            // Every other stroke is fading, its age between 0.2 and 2.2 s while the clock cycles.
            if (i % 2 == 1) stroke->endedAt = epoch - std::chrono::milliseconds(200 + 2000 * i / strokes);
            view.strokes.push_back(stroke);
        }
        growing = view.strokes.back();
        growing->endedAt.reset();
        growingStart = growing->points;
        auto more = walk(random, 4096);
        if (zigzag) {
            for (std::size_t i = 0; i < more.size(); ++i)
                more[i].x = i % 2 == 0 ? 0.2 : 0.8;
        }
        // Carry on from where the stroke ends.
        const Point offset{growingStart.back().x - more.front().x, growingStart.back().y - more.front().y};
        for (auto& p : more) {
            p = {std::clamp(p.x + offset.x, 0.0, 1.0), std::clamp(p.y + offset.y, 0.0, 1.0)};
        }
        continuation = std::move(more);
    }

    // False when the growing stroke has run out of points and was put back as it started.
    bool step(std::size_t count) {
        ++frame;
        now = epoch + std::chrono::microseconds(16667 * (frame % 15));
        if (next + count > continuation.size()) {
            growing->points = growingStart;
            next = 0;
            return false;
        }
        growing->points.insert(growing->points.end(),
                               continuation.begin() + static_cast<std::ptrdiff_t>(next),
                               continuation.begin() + static_cast<std::ptrdiff_t>(next + count));
        next += count;
        return true;
    }
};

void drawFrameOf(InkView& view, velmora::platform::CairoImage& target) {
    target.canvas().clearRect({0, 0, double(viewWidth), double(viewHeight)});
    view.draw(target.canvas(), {0, 0, double(viewWidth), double(viewHeight)});
    cairo_surface_flush(target.surface());
}

void drawFrame(Scene& scene, velmora::platform::CairoImage& target) {
    drawFrameOf(scene.view, target);
}

void frame(benchmark::State& state, int strokes, std::size_t points, std::size_t perFrame,
           InkView::Rendering rendering, bool zigzag) {
    Scene scene(strokes, points, rendering, zigzag);
    velmora::platform::CairoImage target(viewWidth, viewHeight);
    // What was drawn before the frames measured, to the end: the cached rendering spreads a first
    // drawing of many strokes over several frames.
    do {
        drawFrame(scene, target);
    } while (rendering == InkView::Rendering::cached && scene.view.cache().behind());
    for (auto _ : state) {
        if (!scene.step(perFrame)) drawFrame(scene, target);  // the reset is not a frame worth timing
        const auto begin = std::chrono::steady_clock::now();
        drawFrame(scene, target);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
    }
}

// A hand-like stroke of a million points, wandering over the view and across itself, sent whole: the
// frames until it is drawn, their mean and their longest.
struct Drawing {
    std::size_t frames = 0;
    double meanMs = NAN;
    double longestMs = NAN;
};
std::map<InkView::Rendering, Drawing> crossingDrawings;

void crossingStroke(benchmark::State& state, InkView::Rendering rendering) {
    for (auto _ : state) {
        velmora::platform::WallTime now = epoch;
        InkView view{[&now] { return now; }};
        view.setRendering(rendering);
        std::mt19937 random(7);
        auto stroke = std::make_shared<InkStroke>("crossing", velmora::platform::Color{0.1, 0.3, 0.9, 1}, 4);
        stroke->points = walk(random, 1'000'000);
        view.strokes.push_back(stroke);
        velmora::platform::CairoImage target(viewWidth, viewHeight);
        Drawing drawing{0, 0, 0};
        double total = 0;
        do {
            const auto begin = std::chrono::steady_clock::now();
            drawFrameOf(view, target);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            total += ms;
            drawing.longestMs = std::max(drawing.longestMs, ms);
            ++drawing.frames;
        } while (rendering == InkView::Rendering::cached && view.cache().behind());
        drawing.meanMs = total / static_cast<double>(drawing.frames);
        crossingDrawings[rendering] = drawing;
        state.SetIterationTime(total / 1000);
        state.counters["frames"] = static_cast<double>(drawing.frames);
    }
}

struct Case {
    const char* name;
    int strokes;
    std::size_t points;
    std::size_t perFrame;
    const char* goal;
    bool zigzag = false;
};

const Case cases[] = {
    {"10 x 500 points", 10, 500, 1, "4"},
    {"50 x 500 points", 50, 500, 1, "8"},
    {"1 x 10,000 points", 1, 10000, 1, "4"},
    {"append 10 points, 10 x 500", 10, 500, 10, "-"},
    {"zigzag point by point, 10 x 500", 10, 500, 1, "4", true},
};
const char* const crossing = "1 x 1,000,000 crossing points";

// Keeps each run's milliseconds per frame for the summary.
class Collector : public benchmark::ConsoleReporter {
  public:
    Collector() : ConsoleReporter(OO_None) {}

    std::map<std::string, double> milliseconds;

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const auto& run : reports) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                milliseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
};

std::string benchmarkName(const Case& c, const char* renderer) {
    std::string name = "ink frame/";
    name.append(c.name).append("/").append(renderer);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    for (const auto& c : cases) {
        for (const auto rendering : {InkView::Rendering::cached, InkView::Rendering::direct}) {
            const char* renderer = rendering == InkView::Rendering::cached ? "cached" : "full";
            benchmark::RegisterBenchmark(benchmarkName(c, renderer).c_str(),
                                         [c, rendering](benchmark::State& state) {
                                             frame(state, c.strokes, c.points, c.perFrame, rendering,
                                                   c.zigzag);
                                         })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const auto rendering : {InkView::Rendering::cached, InkView::Rendering::direct}) {
        const bool cached = rendering == InkView::Rendering::cached;
        std::string name = std::string("ink frame/") + crossing + (cached ? "/cached" : "/full");
        benchmark::RegisterBenchmark(
            name.c_str(), [rendering](benchmark::State& state) { crossingStroke(state, rendering); })
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\nInk, one frame at %d x %d through Cairo (ms per frame)\n", viewWidth, viewHeight);
    std::printf("%-34s %10s %10s %8s\n", "case", "cached", "full", "goal");
    for (const auto& c : cases) {
        auto find = [&](const char* renderer) {
            const auto it = collector.milliseconds.find(benchmarkName(c, renderer) + "/manual_time");
            return it == collector.milliseconds.end() ? NAN : it->second;
        };
        std::printf("%-34s %10.2f %10.2f %8s\n", c.name, find("cached"), find("full"), c.goal);
    }
    const auto& cached = crossingDrawings[InkView::Rendering::cached];
    std::printf("%-34s %10.2f %10.2f %8s  (cached: %zu frames, longest %.2f ms)\n", crossing, cached.meanMs,
                crossingDrawings[InkView::Rendering::direct].meanMs, "16", cached.frames, cached.longestMs);
    return 0;
}
