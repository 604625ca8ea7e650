#include "ui/console/console_window.h"

#include "search/texts.h"

namespace quarvex::console {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr std::size_t kOutBufferBytes = 1 << 16;

unsigned char byteAt(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]);
}

// Length of the valid UTF-8 sequence that starts with the non-ASCII byte text[i], or 0.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    const unsigned char lead = byteAt(text, i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range; later ones are 80..BF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    if (byteAt(text, i + 1) < low || byteAt(text, i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((byteAt(text, i + k) & 0xC0) != 0x80) return 0;
    return length;
}

// Appends `text` with every control character (C0, DEL, C1) and every byte outside a valid UTF-8
// sequence shown as "?", as ls and find do: a file name cannot retitle or clear the terminal, nor
// pass for a line of its own.
void appendShown(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = byteAt(text, i);
        if (c < 0x80) {
            out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
            ++i;
            continue;
        }
        const std::size_t length = sequenceLength(text, i);
        if (length == 0) {
            out.push_back('?');
            ++i;
        } else {
            const bool c1 = c == 0xC2 && byteAt(text, i + 1) < 0xA0;  // U+0080..U+009F
            if (c1)
                out.push_back('?');
            else
                out.append(text.substr(i, length));
            i += length;
        }
    }
}

// Cuts at most `bytes` bytes off the front of UTF-8 text without splitting a character.
std::string_view headOf(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

}  // namespace

void ConsoleWindow::setCaption(const std::string& text) {
    if (!settings_.errIsTerminal) return;
    if (text == texts::kProductCaption) {
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
    line += headOf(shown, width);
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
    if (out_.size() >= kOutBufferBytes) flush();
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

void ConsoleWindow::pumpEvents() {
    if (stopDelivered_ || search_ == nullptr) return;
    if (stopStatus_ == 0) stopStatus_ = terminal_.stopRequest();
    if (stopStatus_ == 0) return;
    stopDelivered_ = true;
    search_->Command2_Click();
}

}  // namespace quarvex::console
