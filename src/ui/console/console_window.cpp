#include "ui/console/console_window.h"

#include "search/core/search_core.h"
#include "search/text/utf8.h"

namespace quarvex::console {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
// Results go out in blocks: a terminal's often enough to be seen, a pipe's large enough that
// writer and reader wake each other seldom.
constexpr std::size_t kTerminalBlockBytes = std::size_t{1} << 16;
constexpr std::size_t kPipeBlockBytes = std::size_t{1} << 18;

// Appends `text` with every control character (C0, DEL, C1) and every byte outside a valid UTF-8
// sequence shown as "?", as ls and find do: a file name cannot retitle or clear the terminal, nor
// pass for a line of its own.
void appendShown(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const char32_t c = decodeUtf8(text, i);
        // A surrogate is no character of UTF-8 either: a "?" for each of its bytes.
        if (c >= kRawByte || (c >= 0xD800 && c <= 0xDFFF))
            out.append(i - at, '?');
        else if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            out.push_back('?');
        else
            out.append(text.substr(at, i - at));
    }
}

}  // namespace

void ConsoleWindow::setCaption(const std::string& text) {
    if (!settings_.errIsTerminal) return;
    // Only a walking search's caption is progress; the caption it sets when done is not.
    if (search_ == nullptr || !search_->state().Searching) {
        clearProgress();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastProgress_ < kProgressInterval) return;
    lastProgress_ = now;
    const int columns = terminal_.columns();
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 79;
    flush();  // result lines first, so the progress line stays the last one
    std::string shown;
    appendShown(shown, text);
    std::string line = "\r";
    line += utf8Head(shown, width);
    line += "\x1b[K";
    terminal_.writeErr(line);
    progressShown_ = true;
}

void ConsoleWindow::clearProgress() {
    if (!progressShown_) return;
    terminal_.writeErr("\r\x1b[K");
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
    ++count_;
    if (progressShown_ && settings_.outIsTerminal) clearProgress();
    printLine(line, settings_.lineEnd);
}

void ConsoleWindow::printLine(std::string_view line, char end) {
    if (writeFailed_) return;  // nothing goes out after a lost line
    if (settings_.outIsTerminal)
        appendShown(out_, line);
    else
        out_ += line;
    out_ += end;
    if (out_.size() >= (settings_.outIsTerminal ? kTerminalBlockBytes : kPipeBlockBytes)) flush();
}

bool ConsoleWindow::flush() {
    if (writeFailed_) return false;
    if (out_.empty()) return true;
    const bool written = terminal_.writeOut(out_, writeError_);
    out_.clear();
    if (written) return true;
    // The walk stops at the next pump.
    writeFailed_ = true;
    if (stopStatus_ == 0) stopStatus_ = kExitWriteError;
    return false;
}

bool ConsoleWindow::finish() {
    if (flush()) return true;
    clearProgress();
    if (!writeErrorTold_) {
        writeErrorTold_ = true;
        terminal_.writeErr("quarvex-find: write error: " + writeError_ + "\n");
    }
    return false;
}

int ConsoleWindow::messageBox(BoxKind kind, const std::string& text) {
    // The double-click hint belongs to the window's list.
    if (kind == BoxKind::Hint) return kIdOk;
    if (kind == BoxKind::RefusedPattern) patternRefused_ = true;
    if (kind == BoxKind::OutOfMemory) outOfMemory_ = true;
    // After a lost line the count would claim what never arrived: the error stands instead.
    if (!finish()) return kIdOk;
    clearProgress();
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain.push_back(text[i]);
    }
    plain.push_back('\n');
    terminal_.writeErr(plain);
    return kIdOk;
}

void ConsoleWindow::refuse(const std::string& why) {
    if (!finish()) return;
    clearProgress();
    terminal_.writeErr("quarvex-find: " + why + "\n");
}

void ConsoleWindow::folderNotRead(const std::string& folder, const std::string& reason) {
    std::string_view path = folder;
    // Named as a folder, not as the walk's prefix for its files; a root keeps its separator.
    if (path.size() > 1 && (path.back() == '/' || path.back() == '\\') &&
        path[path.size() - 2] != ':')
        path.remove_suffix(1);
    flush();  // the results found before it, first
    clearProgress();
    // Shown as a terminal shows names, wherever it goes: no name can pass for a line of its own.
    std::string line = "quarvex-find: cannot read '";
    appendShown(line, path);
    line += "': ";
    appendShown(line, reason);
    line += '\n';
    terminal_.writeErr(line);
}

void ConsoleWindow::pumpEvents() {
    if (stopDelivered_ || search_ == nullptr) return;
    if (stopStatus_ == 0) stopStatus_ = terminal_.stopRequest();
    if (stopStatus_ == 0) return;
    stopDelivered_ = true;
    search_->Command2_Click();
}

}  // namespace quarvex::console
