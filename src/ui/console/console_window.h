// The main window's controls as a terminal shows them: result lines stream to standard output,
// message boxes go to standard error, the caption is a progress line on a terminal, and Ctrl+C
// presses the stop button.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "search/search_core.h"
#include "search/window.h"

namespace quarvex::console {

class ConsoleWindow : public Window {
  public:
    // The progress line is shown on a terminal, and cleared before result lines only when they go
    // to the same screen.
    ConsoleWindow(bool showProgress, bool resultsOnScreen)
        : showProgress_(showProgress), resultsOnScreen_(resultsOnScreen) {}

    void attach(SearchCore& search) { search_ = &search; }
    bool interrupted() const { return stopDelivered_; }
    bool patternRefused() const { return patternRefused_; }

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

    // Lines are written out, not kept: memory stays flat however many there are.
    void listClear() override { count_ = 0; }
    void listAdd(std::string_view line) override;
    std::size_t listCount() const override { return count_; }
    void listSelect(std::size_t index) override { selected_ = static_cast<std::ptrdiff_t>(index); }
    std::ptrdiff_t listSelectedIndex() const override { return selected_; }
    std::string listLine(std::size_t) const override { return {}; }

    int messageBox(BoxKind kind, const std::string& text) override;
    void pumpEvents() override;

  private:
    void clearProgress();

    SearchCore* search_ = nullptr;
    bool showProgress_;
    bool resultsOnScreen_;
    bool progressShown_ = false;
    std::chrono::steady_clock::time_point lastProgress_{};
    bool command1_ = true;
    bool command2_ = true;
    std::vector<std::string> entries_;
    std::string comboText_;
    std::string text1_;
    std::size_t count_ = 0;
    std::ptrdiff_t selected_ = -1;
    bool stopDelivered_ = false;
    bool patternRefused_ = false;
};

}  // namespace quarvex::console
