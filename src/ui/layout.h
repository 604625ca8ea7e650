// The main window's controls: kind, container, position in twips, tab index and initial text.
// The Win32 and Qt windows are both built from this one table.
#pragma once

#include <array>
#include <string_view>

namespace quarvex::layout {

enum class Kind { Frame, DropDownList, Label, TextBox, Button, ListBox, StatusBar, MultiLineText };

enum class Id {
    Frame2,
    Combo1,
    Label1,
    Text1,
    Frame3,
    Command1,
    Command2,
    Command3,
    Command4,
    Command5,
    Frame1,
    List1,
    StatusBar1,
    Text2,
    None
};

struct Rect {
    int left, top, width, height;
    bool operator==(const Rect&) const = default;
};

struct Control {
    Id id;
    std::string_view name;
    Kind kind;
    Id container;  // Id::None: the window's client area
    Rect twips;    // relative to the container
    int tabIndex;
    std::string_view text;
};

inline constexpr int kTwipsPerInch = 1440;
inline constexpr int kClientWidthTwips = 10575;  // 705 pixels at 96 DPI
inline constexpr int kClientHeightTwips = 6690;  // 446 pixels at 96 DPI
inline constexpr int kStatusPanelWidthTwips = 10275;
inline constexpr int kStatusPanelMinWidthTwips = 1440;

// In the order of the table the window is laid out from.
extern const std::array<Control, 14> kControls;

// Front-to-back order of the window's own children (the rest sit inside their frames).
inline constexpr std::array<Id, 9> kWindowChildrenFrontToBack = {
    Id::Text2, Id::StatusBar1, Id::Command1, Id::Command2, Id::Combo1,
    Id::Text1, Id::Frame1,     Id::Frame2,   Id::Frame3};

const Control& control(Id id);
// Twips to pixels at `dpi`, rounded to the nearest pixel.
int toPixels(int twips, int dpi);
// The control's rectangle relative to the client area, in pixels at `dpi`.
Rect clientRect(Id id, int dpi = 96);
// Controls that take the focus, in tab order.
std::array<Id, 9> focusOrder();

}  // namespace quarvex::layout
