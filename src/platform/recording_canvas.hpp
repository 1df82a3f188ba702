#pragma once

#include <memory>
#include <variant>
#include <vector>

#include "platform/canvas.hpp"

namespace velmora::platform {

// A canvas that keeps every call as a value, for tests that check exact geometry. Layers record too; a
// composited layer appears as one DrawLayer entry holding the calls made on it.
class RecordingCanvas : public Canvas {
  public:
    struct SetColor {
        Color color;
    };
    struct FillOval {
        Rect rect;
    };
    struct FillRect {
        Rect rect;
    };
    struct StrokePath {
        Path path;
    };
    struct ClearRect {
        Rect rect;
    };
    struct ClipTo {
        Rect rect;
    };
    struct ResetClip {};
    struct ClipToRects {
        std::vector<Rect> rects;
    };
    struct DrawLayer;
    struct FillMask;
    using Call = std::variant<SetColor, FillOval, FillRect, StrokePath, ClearRect, ClipTo, ResetClip,
                              DrawLayer, ClipToRects, FillMask>;
    struct DrawLayer {
        std::shared_ptr<const std::vector<Call>> calls;
        Point at;
        double opacity = 1;
    };
    // A mask filled with the current colour: the calls made on the mask, and where it went.
    struct FillMask {
        std::shared_ptr<const std::vector<Call>> calls;
        Point at;
    };

    void setColor(const Color& color) override { calls_.push_back(SetColor{color}); }
    void fillOval(const Rect& rect) override { calls_.push_back(FillOval{rect}); }
    void fillRect(const Rect& rect) override { calls_.push_back(FillRect{rect}); }
    void strokePath(const Path& path) override { calls_.push_back(StrokePath{path}); }
    void clearRect(const Rect& rect) override { calls_.push_back(ClearRect{rect}); }
    void clipTo(const Rect& rect) override { calls_.push_back(ClipTo{rect}); }
    void clipToRects(const std::vector<Rect>& rects) override { calls_.push_back(ClipToRects{rects}); }
    void resetClip() override { calls_.push_back(ResetClip{}); }
    std::unique_ptr<Layer> makeLayer(int width, int height) override;
    void drawLayer(const Layer& layer, Point at, double opacity) override;
    std::unique_ptr<Layer> makeMask(int width, int height) override { return makeLayer(width, height); }
    void fillMask(const Layer& mask, Point at) override;

    const std::vector<Call>& calls() const { return calls_; }
    void clear() { calls_.clear(); }

  private:
    std::vector<Call> calls_;
};

class RecordingLayer : public Layer {
  public:
    RecordingLayer(int width, int height) : width_(width), height_(height) {}
    Canvas& canvas() override { return canvas_; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    const RecordingCanvas& recording() const { return canvas_; }

  private:
    int width_;
    int height_;
    RecordingCanvas canvas_;
};

inline std::unique_ptr<Layer> RecordingCanvas::makeLayer(int width, int height) {
    return std::make_unique<RecordingLayer>(width, height);
}

inline void RecordingCanvas::drawLayer(const Layer& layer, Point at, double opacity) {
    const auto* recorded = dynamic_cast<const RecordingLayer*>(&layer);
    auto calls = std::make_shared<std::vector<Call>>();
    if (recorded != nullptr) *calls = recorded->recording().calls();
    calls_.push_back(DrawLayer{std::move(calls), at, opacity});
}

inline void RecordingCanvas::fillMask(const Layer& mask, Point at) {
    const auto* recorded = dynamic_cast<const RecordingLayer*>(&mask);
    auto calls = std::make_shared<std::vector<Call>>();
    if (recorded != nullptr) *calls = recorded->recording().calls();
    calls_.push_back(FillMask{std::move(calls), at});
}

}  // namespace velmora::platform
