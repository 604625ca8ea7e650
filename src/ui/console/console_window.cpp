#include "ui/console/console_window.h"

#include "search/texts.h"
#include "ui/console/console_io.h"

namespace quarvex::console {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// Cuts at most `bytes` bytes off the front of UTF-8 text without splitting a character.
std::string_view headOf(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

}  // namespace

void ConsoleWindow::setCaption(const std::string& text) {
    if (!showProgress_) return;
    if (text == texts::kProductCaption) {
        clearProgress();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastProgress_ < kProgressInterval) return;
    lastProgress_ = now;
    const int columns = terminalColumns();
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 79;
    flushOut();  // result lines first, so the progress line stays the last one
    std::string line = "\r";
    line += headOf(text, width);
    line += "\x1b[K";
    writeErr(line);
    progressShown_ = true;
}

void ConsoleWindow::clearProgress() {
    if (!progressShown_) return;
    writeErr("\r\x1b[K");
    progressShown_ = false;
}

bool ConsoleWindow::setComboText(const std::string& text) {
    comboText_ = text;
    return true;
}

std::ptrdiff_t ConsoleWindow::comboSelectedIndex() const {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i] == comboText_) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

void ConsoleWindow::listAdd(std::string_view line) {
    if (progressShown_ && resultsOnScreen_) clearProgress();
    writeOut(line);
    writeOut("\n");
    ++count_;
}

int ConsoleWindow::messageBox(BoxKind kind, const std::string& text) {
    // The double-click hint belongs to the window's list.
    if (kind == BoxKind::Hint) return kIdOk;
    if (kind == BoxKind::RefusedPattern) patternRefused_ = true;
    flushOut();
    clearProgress();
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain.push_back(text[i]);
    }
    plain.push_back('\n');
    writeErr(plain);
    return kIdOk;
}

void ConsoleWindow::pumpEvents() {
    if (!stopDelivered_ && search_ != nullptr && interruptPending()) {
        stopDelivered_ = true;
        search_->Command2_Click();
    }
}

}  // namespace quarvex::console
