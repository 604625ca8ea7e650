#include "ui/layout.h"

#include <algorithm>

#include "ui/texts.h"

namespace quarvex::layout {

const std::array<Control, 14> kControls = {{
    {Id::Frame2, "Frame2", Kind::Frame, Id::None, {120, 120, 2895, 1455}, 6, texts::kFrame2},
    {Id::Combo1, "Combo1", Kind::DropDownList, Id::None, {240, 480, 2535, 300}, 3, ""},
    {Id::Label1, "Label1", Kind::Label, Id::Frame2, {120, 960, 630, 180}, 11, texts::kLabel1},
    {Id::Text1, "Text1", Kind::TextBox, Id::None, {960, 1080, 1815, 270}, 2, texts::kText1Initial},
    {Id::Frame3, "Frame3", Kind::Frame, Id::None, {3120, 120, 7335, 1455}, 7, texts::kFrame3},
    {Id::Command1, "Command1", Kind::Button, Id::None, {3240, 480, 1335, 855}, 5, texts::kCommand1},
    {Id::Command2, "Command2", Kind::Button, Id::None, {4680, 480, 1335, 855}, 4, texts::kCommand2},
    {Id::Command3,
     "Command3",
     Kind::Button,
     Id::Frame3,
     {3000, 360, 1335, 855},
     8,
     texts::kCommand3},
    {Id::Command4,
     "Command4",
     Kind::Button,
     Id::Frame3,
     {4440, 360, 1335, 855},
     9,
     texts::kCommand4},
    {Id::Command5,
     "Command5",
     Kind::Button,
     Id::Frame3,
     {5880, 360, 1335, 855},
     12,
     texts::kCommand5},
    {Id::Frame1, "Frame1", Kind::Frame, Id::None, {120, 1680, 10335, 4215}, 0, texts::kFrame1},
    {Id::List1, "List1", Kind::ListBox, Id::Frame1, {120, 240, 10095, 3840}, 1, ""},
    {Id::StatusBar1,
     "StatusBar1",
     Kind::StatusBar,
     Id::None,
     {0, 6075, 10575, 615},
     10,
     texts::kCopyright},
    {Id::Text2,
     "Text2",
     Kind::MultiLineText,
     Id::None,
     {11040, 2040, 3975, 2895},
     13,
     texts::kHelpText},
}};

const Control& control(Id id) {
    return *std::find_if(kControls.begin(), kControls.end(),
                         [id](const Control& c) { return c.id == id; });
}

int toPixels(int twips, int dpi) {
    return (twips * dpi + kTwipsPerInch / 2) / kTwipsPerInch;
}

Rect clientRect(Id id, int dpi) {
    const Control& c = control(id);
    int left = c.twips.left, top = c.twips.top;
    for (Id outer = c.container; outer != Id::None; outer = control(outer).container) {
        left += control(outer).twips.left;
        top += control(outer).twips.top;
    }
    return {toPixels(left, dpi), toPixels(top, dpi), toPixels(c.twips.width, dpi),
            toPixels(c.twips.height, dpi)};
}

std::array<Id, 9> focusOrder() {
    std::array<const Control*, kControls.size()> byTab{};
    for (const Control& c : kControls) byTab[static_cast<std::size_t>(c.tabIndex)] = &c;
    std::array<Id, 9> order{};
    std::size_t n = 0;
    for (const Control* c : byTab)
        if (c->kind != Kind::Frame && c->kind != Kind::Label && c->kind != Kind::StatusBar)
            order[n++] = c->id;
    return order;
}

}  // namespace quarvex::layout
