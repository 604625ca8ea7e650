// The main window's controls as a terminal shows them: result lines stream to standard output,
// message boxes go to standard error, the caption is a progress line on a terminal, and a stop
// request (Ctrl+C, a signal, a failed write) presses the stop button.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "search/core/window.h"
#include "ui/console/console_io.h"

namespace quarvex {
class SearchCore;
}

namespace quarvex::console {

// Exit statuses of quarvex-find; a stop request brings its own (130 for Ctrl+C).
inline constexpr int kExitFound = 0;
inline constexpr int kExitNoneFound = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWriteError = 3;
inline constexpr int kExitOutOfMemory = 4;

struct ConsoleSettings {
    bool errIsTerminal = false;  // shows the progress line
    bool outIsTerminal = false;  // results share the screen: control characters shown as "?"
    char lineEnd = '\n';         // '\0' for --null
};

class ConsoleWindow : public Window {
  public:
    ConsoleWindow(Terminal& terminal, ConsoleSettings settings)
        : terminal_(terminal), settings_(settings) {}

    void attach(SearchCore& search) { search_ = &search; }
    // A new query of --queries begins.
    void beginQuery() { patternRefused_ = false; }
    bool patternRefused() const { return patternRefused_; }
    // Memory ran out and the search stopped: what was listed is not all there is.
    bool outOfMemory() const { return outOfMemory_; }
    // What stopped the run, as its exit status (kExitWriteError or a stop request), or 0.
    int stopStatus() const { return stopStatus_; }

    // Tells on standard error why a query was refused.
    void refuse(const std::string& why);
    // Writes one line to standard output, shown as the results are, ended by `end`.
    void printLine(std::string_view line, char end);
    // Writes the buffered lines out; after a failed write, tells the error once on standard error
    // and returns false.
    bool finish();

    void setCaption(const std::string& text) override;
    bool command1Enabled() const override { return command1_; }
    void setCommand1Enabled(bool enabled) override { command1_ = enabled; }
    bool command2Enabled() const override { return command2_; }
    void setCommand2Enabled(bool enabled) override { command2_ = enabled; }

    void comboAdd(const std::string& entry) override { entries_.push_back(entry); }
    std::size_t comboCount() const override { return entries_.size(); }
    std::string comboEntry(std::size_t index) const override { return entries_.at(index); }
    std::string comboText() const override { return comboText_; }
    // The command line may name any folders, so the selector takes any text.
    bool setComboText(const std::string& text) override;
    std::ptrdiff_t comboSelectedIndex() const;

    std::string text1() const override { return text1_; }
    void setText1(const std::string& text) override { text1_ = text; }

    // Lines are written out, not kept: memory stays flat however many there are. They are
    // buffered and written whole, so no stop cuts one.
    void listClear() override { count_ = 0; }
    void listAdd(std::string_view line) override;
    std::size_t listCount() const override { return count_; }
    void listSelect(std::size_t index) override { selected_ = static_cast<std::ptrdiff_t>(index); }
    std::ptrdiff_t listSelectedIndex() const override { return selected_; }
    std::string listLine(std::size_t) const override { return {}; }

    int messageBox(BoxKind kind, const std::string& text) override;
    void folderNotRead(const std::string& folder, const std::string& reason) override;
    void pumpEvents() override;

  private:
    void clearProgress();
    bool flush();

    Terminal& terminal_;
    ConsoleSettings settings_;
    SearchCore* search_ = nullptr;
    std::string out_;  // whole lines not yet written
    bool writeFailed_ = false;
    std::string writeError_;
    bool writeErrorTold_ = false;
    bool progressShown_ = false;
    std::chrono::steady_clock::time_point lastProgress_{};
    bool command1_ = true;
    bool command2_ = true;
    std::vector<std::string> entries_;
    std::string comboText_;
    std::string text1_;
    std::size_t count_ = 0;
    std::ptrdiff_t selected_ = -1;
    int stopStatus_ = 0;
    bool stopDelivered_ = false;
    bool patternRefused_ = false;
    bool outOfMemory_ = false;
};

}  // namespace quarvex::console
