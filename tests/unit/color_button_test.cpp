// The owner-drawn colour button: what it draws, in which order, and that it frees what it made.
#include <gtest/gtest.h>

#include "krev/color_button.h"
#include "platform/sim/sim_platform.h"

using platform::sim::DrawCall;

namespace {

struct Line {
    long x1, y1, x2, y2;
    platform::Color color;
    bool operator==(const Line& other) const {
        return x1 == other.x1 && y1 == other.y1 && x2 == other.x2 && y2 == other.y2 && color == other.color;
    }
};

class ColorButton : public ::testing::Test {
protected:
    ColorButton() : button(sim) { sim.windowTexts[kControl] = "確定"; }

    // The lines drawn, each with the colour of the pen it was drawn with.
    std::vector<Line> lines() const {
        std::vector<Line> drawn;
        platform::Color pen = 0;
        long x = 0;
        long y = 0;
        for (const DrawCall& call : sim.drawing) {
            if (call.op == "createPen") pen = static_cast<platform::Color>(call.args[2]);
            if (call.op == "moveTo") {
                x = call.args[0];
                y = call.args[1];
            }
            if (call.op == "lineTo") drawn.push_back(Line{x, y, static_cast<long>(call.args[0]), static_cast<long>(call.args[1]), pen});
        }
        return drawn;
    }
    std::vector<DrawCall> calls(const std::string& op) const {
        std::vector<DrawCall> found;
        for (const DrawCall& call : sim.drawing) {
            if (call.op == op) found.push_back(call);
        }
        return found;
    }
    void draw(unsigned state) {
        button.DrawItem(platform::DrawItemInfo{1000, kControl, 0x99, platform::Rect{0, 0, 60, 30}, state});
    }

    static constexpr platform::WindowHandle kControl = 0x4242;
    platform::sim::SimPlatform sim;
    CColorButton button;
};

}  // namespace

TEST_F(ColorButton, BindingStoresTheColoursOnlyWhenTheControlExists) {
    sim.missingControls[1007] = true;
    EXPECT_EQ(button.BindControl(1007, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2), 0);
    EXPECT_FALSE(button.boundTo(1007));
    EXPECT_EQ(button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2), 1);
    EXPECT_TRUE(button.boundTo(1000));
    EXPECT_EQ(button.faceColor, 0x00FF0000u);
    EXPECT_EQ(button.textColor, 0x00FFFFFFu);
    EXPECT_EQ(button.disabledColor, 0x00808080u);
    EXPECT_EQ(button.bevelWidth, 2);
}

TEST_F(ColorButton, ABevelOfWidthOneUsesPlainWhiteAndGrey) {
    button.PaintBevel(0, platform::Rect{0, 0, 60, 30}, 1);
    EXPECT_EQ(lines(), (std::vector<Line>{{0, 0, 60, 0, 0xFFFFFF}, {0, 0, 0, 30, 0xFFFFFF},
                                          {1, 29, 60, 29, 0x808080}, {59, 1, 59, 30, 0x808080}}));
}

TEST_F(ColorButton, ABevelOfWidthTwoUsesPaletteGreysRingByRing) {
    button.PaintBevel(0, platform::Rect{0, 0, 60, 30}, 2);
    EXPECT_EQ(lines(), (std::vector<Line>{{0, 0, 60, 0, 0x02FFFFFF},
                                          {0, 0, 0, 30, 0x02FFFFFF},
                                          {1, 29, 60, 29, 0x027F7F7F},
                                          {59, 1, 59, 30, 0x027F7F7F},
                                          {1, 1, 59, 1, 0x02DFDFDF},
                                          {1, 1, 1, 29, 0x02DFDFDF},
                                          {2, 28, 59, 28, 0x02555555},
                                          {58, 2, 58, 29, 0x02555555}}));
}

TEST_F(ColorButton, ABevelOfWidthZeroDrawsNothing) {
    button.PaintBevel(0, platform::Rect{0, 0, 60, 30}, 0);
    EXPECT_TRUE(sim.drawing.empty());
}

TEST_F(ColorButton, APressedBevelOfOneRingIsGreyAboveAndWhiteBelow) {
    button.PaintBevel(0, platform::Rect{0, 0, 60, 30}, -1);
    const auto drawn = lines();
    ASSERT_EQ(drawn.size(), 4u);
    EXPECT_EQ(drawn[0].color, 0x808080u);
    EXPECT_EQ(drawn[1].color, 0x808080u);
    EXPECT_EQ(drawn[2].color, 0xFFFFFFu);
    EXPECT_EQ(drawn[3].color, 0xFFFFFFu);
}

TEST_F(ColorButton, APressedBevelOfThreeRingsEndsInNearBlackBelowTheInnermostRing) {
    button.PaintBevel(0, platform::Rect{0, 0, 60, 30}, -3);
    const auto drawn = lines();
    ASSERT_EQ(drawn.size(), 12u);
    const std::vector<platform::Color> expected = {0x027F7F7F, 0x027F7F7F, 0x02FFFFFF, 0x02FFFFFF,
                                                   0x02555555, 0x02555555, 0x02DFDFDF, 0x02DFDFDF,
                                                   0x023F3F3F, 0x023F3F3F, 0x00010101, 0x00010101};
    for (std::size_t line = 0; line < drawn.size(); ++line) EXPECT_EQ(drawn[line].color, expected[line]) << line;
    EXPECT_EQ(drawn[8], (Line{2, 2, 58, 2, 0x023F3F3F}));
}

TEST_F(ColorButton, ANormalButtonIsFilledBevelledAndCaptionedCentredOnOneLine) {
    button.BindControl(1000, 1, 0x00FFFFFF, 0x00010101, 0x00808080, 2);
    draw(0);
    const auto fills = calls("fillRect");
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].args, (std::vector<long long>{0, 0, 60, 30, fills[0].args[4]}));
    EXPECT_EQ(calls("createSolidBrush")[0].args[0], 0x00FFFFFF);
    const auto texts = calls("drawText");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, "確定");
    EXPECT_EQ(texts[0].args, (std::vector<long long>{0, 0, 60, 30, 4, 0x25}));
    EXPECT_EQ(calls("setBackgroundMode")[0].args[0], 1);
    const auto colours = calls("setTextColor");
    ASSERT_EQ(colours.size(), 2u);
    EXPECT_EQ(colours[0].args[0], 0x00010101);
    EXPECT_EQ(colours[1].args[0], 0);  // the previous colour is put back
    EXPECT_EQ(lines().size(), 8u);
    EXPECT_TRUE(calls("drawFocusRect").empty());
    EXPECT_TRUE(sim.liveGdiObjects.empty());
}

TEST_F(ColorButton, AFocusedButtonHasItsOutlineFourPixelsIn) {
    button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    draw(platform::kOdsFocus | platform::kOdsDisabled);
    const auto outlines = calls("drawFocusRect");
    ASSERT_EQ(outlines.size(), 1u);
    EXPECT_EQ(outlines[0].args, (std::vector<long long>{4, 4, 56, 26}));
    EXPECT_EQ(calls("drawText").size(), 1u);  // disabled is ignored while focused
}

TEST_F(ColorButton, AFocusedPressedButtonIsRefilledWithOneRingAndKeepsOneOutline) {
    button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    draw(platform::kOdsFocus | platform::kOdsSelected);
    std::vector<std::string> order;
    for (const DrawCall& call : sim.drawing) {
        if (call.op == "fillRect" || call.op == "drawFocusRect" || call.op == "drawText") order.push_back(call.op);
    }
    // The second fill covers the first outline; the second outline, drawn last, remains.
    EXPECT_EQ(order, (std::vector<std::string>{"fillRect", "drawText", "drawFocusRect", "fillRect", "drawText",
                                               "drawFocusRect"}));
    const auto drawn = lines();
    ASSERT_EQ(drawn.size(), 12u);  // two raised rings, then one pressed ring
    EXPECT_EQ(drawn[8].color, 0x808080u);
    EXPECT_EQ(drawn[11].color, 0xFFFFFFu);
    EXPECT_TRUE(sim.liveGdiObjects.empty());
}

TEST_F(ColorButton, PressedWithoutFocusDrawsTheRaisedLook) {
    button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    draw(platform::kOdsSelected);
    EXPECT_EQ(calls("fillRect").size(), 1u);
    EXPECT_TRUE(calls("drawFocusRect").empty());
}

TEST_F(ColorButton, ADisabledButtonWithoutFocusPaintsTheDisabledCaptionOverTheNormalOne) {
    button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    draw(platform::kOdsDisabled);
    const auto colours = calls("setTextColor");
    ASSERT_EQ(colours.size(), 4u);
    EXPECT_EQ(colours[0].args[0], 0x00FFFFFF);
    EXPECT_EQ(colours[2].args[0], 0x00808080);
    EXPECT_EQ(calls("fillRect").size(), 1u);
}

TEST_F(ColorButton, ACaptionIsCutTo511BytesAndALineBreakStaysOnOneLine) {
    sim.windowTexts[kControl] = std::string(300, 'a') + "\r\n" + std::string(400, 'b');
    button.BindControl(1000, 1, 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    draw(0);
    const auto text = calls("drawText")[0];
    EXPECT_EQ(text.text.size(), 511u);
    EXPECT_EQ(text.args[4], 511);
    EXPECT_EQ(text.args[5], 0x25);
}
