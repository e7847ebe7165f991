// An owner-drawn push button: a solid face, a centred caption and a stepped grey bevel.
#pragma once
#include <string>

#include "platform/platform.h"

class CColorButton {
public:
    explicit CColorButton(platform::Platform& platform) : platform_(platform) {}

    // Takes over the drawing of the dialog's control `id`: 1, or 0 when there is no such control.
    int BindControl(unsigned id, platform::WindowHandle parent, platform::Color face, platform::Color text,
                    platform::Color disabled, int bevelWidth);
    bool boundTo(unsigned id) const { return bound_ && id == id_; }
    void DrawItem(const platform::DrawItemInfo& item);

    void FillFace(platform::DeviceContext dc, platform::Rect rect, platform::Color color);
    void StrokeLine(platform::DeviceContext dc, long x1, long y1, long x2, long y2, platform::Color color);
    void PaintCaption(platform::DeviceContext dc, platform::Rect rect, const std::string& text, platform::Color color);
    // `width` rings of one pixel from the edge inwards; a negative width draws the pressed look.
    void PaintBevel(platform::DeviceContext dc, platform::Rect rect, int width);

    platform::Color textColor = 0;
    platform::Color faceColor = 0;
    platform::Color disabledColor = 0;
    int bevelWidth = 0;

private:
    platform::Platform& platform_;
    unsigned id_ = 0;
    bool bound_ = false;
};
