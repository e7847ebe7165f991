#include "krev/color_button.h"

namespace {

constexpr int kCaptionCapacity = 512;
constexpr int kFocusInset = 4;
constexpr int kSolidPen = 0;
constexpr int kTransparentBackground = 1;
constexpr unsigned kCentredSingleLine = 0x25;  // DT_CENTER | DT_VCENTER | DT_SINGLELINE
constexpr platform::Color kWhite = 0x00FFFFFF;
constexpr platform::Color kGrey = 0x00808080;
constexpr platform::Color kNearBlack = 0x00010101;

// A grey level as a palette-relative colour value.
platform::Color paletteGrey(int level) { return 0x02000000u + static_cast<platform::Color>(level) * 0x010101u; }

platform::Rect inset(platform::Rect rect, long by) {
    return platform::Rect{rect.left + by, rect.top + by, rect.right - by, rect.bottom - by};
}

}  // namespace

int CColorButton::BindControl(unsigned id, platform::WindowHandle parent, platform::Color face, platform::Color text,
                              platform::Color disabled, int width) {
    if (!platform_.hasControl(parent, id)) return 0;
    id_ = id;
    bound_ = true;
    faceColor = face;
    textColor = text;
    disabledColor = disabled;
    bevelWidth = width;
    return 1;
}

void CColorButton::DrawItem(const platform::DrawItemInfo& item) {
    const platform::Rect button = item.rect;
    const platform::Rect focus = inset(button, kFocusInset);
    const std::string caption = platform_.windowText(item.control, kCaptionCapacity);
    FillFace(item.dc, button, faceColor);
    PaintBevel(item.dc, button, bevelWidth);
    PaintCaption(item.dc, button, caption, textColor);
    if ((item.state & platform::kOdsFocus) != 0) {
        platform_.drawFocusRect(item.dc, focus);
        if ((item.state & platform::kOdsSelected) != 0) {
            // The refill covers the first focus outline; the second one stays.
            FillFace(item.dc, button, faceColor);
            PaintBevel(item.dc, button, -1);
            PaintCaption(item.dc, button, caption, textColor);
            platform_.drawFocusRect(item.dc, focus);
        }
    } else if ((item.state & platform::kOdsDisabled) != 0) {
        PaintCaption(item.dc, button, caption, disabledColor);
    }
}

void CColorButton::FillFace(platform::DeviceContext dc, platform::Rect rect, platform::Color color) {
    const platform::GdiObject brush = platform_.createSolidBrush(color);
    platform_.fillRect(dc, rect, brush);
    platform_.deleteObject(brush);
}

void CColorButton::StrokeLine(platform::DeviceContext dc, long x1, long y1, long x2, long y2, platform::Color color) {
    const platform::GdiObject pen = platform_.createPen(kSolidPen, 1, color);
    const platform::GdiObject previous = platform_.selectObject(dc, pen);
    platform_.moveTo(dc, x1, y1);
    platform_.lineTo(dc, x2, y2);
    platform_.selectObject(dc, previous);
    platform_.deleteObject(pen);
}

void CColorButton::PaintCaption(platform::DeviceContext dc, platform::Rect rect, const std::string& text,
                                platform::Color color) {
    const platform::Color previous = platform_.setTextColor(dc, color);
    platform_.setBackgroundMode(dc, kTransparentBackground);
    platform_.drawText(dc, text.c_str(), static_cast<int>(text.size()), rect, kCentredSingleLine);
    platform_.setTextColor(dc, previous);
}

void CColorButton::PaintBevel(platform::DeviceContext dc, platform::Rect rect, int width) {
    const long long rings = width < 0 ? -static_cast<long long>(width) : width;
    for (long long ring = 0; ring < rings; ++ring) {
        platform::Color light = kWhite;
        platform::Color dark = kGrey;
        if (rings > 1) {
            light = paletteGrey(static_cast<int>(63 / (ring + 1) + 192));
            dark = paletteGrey(static_cast<int>(255 / (ring + 2)));
        }
        platform::Color topLeft = width > 0 ? light : dark;
        platform::Color bottomRight = width > 0 ? dark : light;
        if (width < 0 && rings > 1 && ring == rings - 1) bottomRight = kNearBlack;
        StrokeLine(dc, rect.left, rect.top, rect.right, rect.top, topLeft);
        StrokeLine(dc, rect.left, rect.top, rect.left, rect.bottom, topLeft);
        StrokeLine(dc, rect.left + 1, rect.bottom - 1, rect.right, rect.bottom - 1, bottomRight);
        StrokeLine(dc, rect.right - 1, rect.top + 1, rect.right - 1, rect.bottom, bottomRight);
        rect = inset(rect, 1);
    }
}
