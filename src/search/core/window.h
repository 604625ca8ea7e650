// What the search does to a window: the control operations it performs, the caption, message
// boxes and the event pump. Each front end (Win32, Qt, console) implements it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarvex {

// Message box styles and results, with the values Windows gives them.
inline constexpr int kMbOk = 0x00;
inline constexpr int kMbYesNo = 0x04;
inline constexpr int kMbIconInformation = 0x40;
inline constexpr int kMbInfoOk = kMbIconInformation | kMbOk;        // 64
inline constexpr int kMbInfoYesNo = kMbIconInformation | kMbYesNo;  // 68
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// What a message box is for. Every box carries the product's box title and the information icon;
// the exit confirmation asks Yes or No, every other box has one OK button.
enum class BoxKind {
    Report,          // the count and the total after a search
    NothingFound,    // a search that found nothing
    Hint,            // the double-click hint that follows a report
    RefusedPattern,  // a pattern that names a path
    ConfirmExit,     // every close request
    Help,            // the help text
    OutOfMemory,     // a search that stopped because memory ran out
};

// Whether a box asks Yes or No; every other box has one OK button.
constexpr bool asksYesNo(BoxKind kind) {
    return kind == BoxKind::ConfirmExit;
}

// The Windows style value of a box: 68 for the exit confirmation, 64 for the others.
constexpr int boxStyle(BoxKind kind) {
    return asksYesNo(kind) ? kMbInfoYesNo : kMbInfoOk;
}

class Window {
  public:
    virtual ~Window() = default;

    // Form1
    virtual void setCaption(const std::string& text) = 0;

    // Command1 (start) and Command2 (stop)
    virtual bool command1Enabled() const = 0;
    virtual void setCommand1Enabled(bool enabled) = 0;
    virtual bool command2Enabled() const = 0;
    virtual void setCommand2Enabled(bool enabled) = 0;

    // Combo1, the drive selector
    virtual void comboAdd(const std::string& entry) = 0;
    virtual std::size_t comboCount() const = 0;
    virtual std::string comboEntry(std::size_t index) const = 0;
    virtual std::string comboText() const = 0;
    // A drop-down list selects the entry that equals `text` (see findComboEntry) and fails when
    // there is none; a free-text box takes any text.
    virtual bool setComboText(const std::string& text) = 0;

    // Text1, the file-name box
    virtual std::string text1() const = 0;
    virtual void setText1(const std::string& text) = 0;

    // List1, the result list
    virtual void listClear() = 0;
    virtual void listAdd(std::string_view line) = 0;
    virtual std::size_t listCount() const = 0;
    // Selects a line and scrolls it into view.
    virtual void listSelect(std::size_t index) = 0;
    // The selected line, or -1 when none is.
    virtual std::ptrdiff_t listSelectedIndex() const = 0;
    virtual std::string listLine(std::size_t index) const = 0;

    // Modal, titled texts::kBoxTitle, styled boxStyle(kind); returns kIdOk, kIdYes or kIdNo.
    virtual int messageBox(BoxKind kind, const std::string& text) = 0;

    // A folder the search could not read, or not to its end: its path and why, in the system's
    // words. The windows leave it unsaid; the console tells it when asked to.
    virtual void folderNotRead(const std::string& folder, const std::string& reason) {
        (void)folder;
        (void)reason;
    }

    // Handles every pending window event before it returns. Called at every folder entry, so it
    // must cost next to nothing when nothing is pending.
    virtual void pumpEvents() = 0;
};

}  // namespace quarvex
