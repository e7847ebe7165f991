// The simulation's GDI: every call is recorded, and objects are tracked until they are deleted.
#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace {
std::vector<long long> rectArgs(const Rect& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }
}  // namespace

GdiObject SimPlatform::newGdiObject(const std::string& kind) {
    const GdiObject object = nextGdiObject_++;
    liveGdiObjects[object] = kind;
    return object;
}

std::string SimPlatform::windowText(WindowHandle window, int capacity) {
    std::string text = windowTexts[window];
    if (capacity <= 0) return std::string();
    if (text.size() > static_cast<std::size_t>(capacity - 1)) text.resize(static_cast<std::size_t>(capacity - 1));
    return text;
}

void SimPlatform::setControlFont(WindowHandle, unsigned id, GdiObject font, bool redraw) {
    controlFonts.emplace_back(id, font);
    drawing.push_back(DrawCall{"setFont", {id, static_cast<long long>(font), redraw ? 1 : 0}, ""});
}

GdiObject SimPlatform::createSolidBrush(Color color) {
    const GdiObject brush = newGdiObject("brush");
    drawing.push_back(DrawCall{"createSolidBrush", {color, static_cast<long long>(brush)}, ""});
    return brush;
}

GdiObject SimPlatform::createPen(int style, int width, Color color) {
    const GdiObject pen = newGdiObject("pen");
    drawing.push_back(DrawCall{"createPen", {style, width, color, static_cast<long long>(pen)}, ""});
    return pen;
}

GdiObject SimPlatform::createFont(const FontSpec& font) {
    const GdiObject created = newGdiObject("font");
    fonts[created] = font;
    fontFaces[created] = font.face;
    drawing.push_back(DrawCall{"createFont", {font.height, font.weight, static_cast<long long>(created)}, font.face});
    return created;
}

void SimPlatform::deleteObject(GdiObject object) {
    releases.emplace_back("gdi", liveThreads());
    liveGdiObjects.erase(object);
    drawing.push_back(DrawCall{"deleteObject", {static_cast<long long>(object)}, ""});
}

GdiObject SimPlatform::selectObject(DeviceContext dc, GdiObject object) {
    drawing.push_back(DrawCall{"selectObject", {static_cast<long long>(dc), static_cast<long long>(object)}, ""});
    return 0x6FFF;  // the device context's own pen
}

void SimPlatform::fillRect(DeviceContext, const Rect& rect, GdiObject brush) {
    auto args = rectArgs(rect);
    args.push_back(static_cast<long long>(brush));
    drawing.push_back(DrawCall{"fillRect", args, ""});
}

void SimPlatform::moveTo(DeviceContext, long x, long y) { drawing.push_back(DrawCall{"moveTo", {x, y}, ""}); }

void SimPlatform::lineTo(DeviceContext, long x, long y) { drawing.push_back(DrawCall{"lineTo", {x, y}, ""}); }

Color SimPlatform::setTextColor(DeviceContext, Color color) {
    drawing.push_back(DrawCall{"setTextColor", {color}, ""});
    const Color previous = textColor_;
    textColor_ = color;
    return previous;
}

void SimPlatform::setBackgroundMode(DeviceContext, int mode) {
    drawing.push_back(DrawCall{"setBackgroundMode", {mode}, ""});
}

void SimPlatform::drawText(DeviceContext, const char* text, int length, const Rect& rect, unsigned format) {
    auto args = rectArgs(rect);
    args.push_back(length);
    args.push_back(format);
    drawing.push_back(DrawCall{"drawText", args, std::string(text, static_cast<std::size_t>(length))});
}

void SimPlatform::drawFocusRect(DeviceContext, const Rect& rect) {
    drawing.push_back(DrawCall{"drawFocusRect", rectArgs(rect), ""});
}

}  // namespace platform::sim
