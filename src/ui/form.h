// The main window's own handlers: load, close confirmation, unload, and the help, web-page and
// exit buttons. The search handlers are forwarded to the search core.
#pragma once

#include <string>

#include "search/os/platform.h"
#include "search/core/search_core.h"
#include "search/core/window.h"

namespace quarvex {

// What the window handlers need of a window beyond what a search needs.
class FormWindow : public Window {
  public:
    // Reads the window style, clears its sizing border and writes it back.
    virtual void clearSizingBorder() = 0;
    // Text2, the hidden help box.
    virtual std::string text2() const = 0;
    // Destroys the window and ends the program's event loop; called once, by Form_Unload.
    virtual void unload() = 0;
};

class Form1 {
  public:
    // A second search of a drive answers from what the first one listed, for as long as the
    // window lives.
    Form1(FormWindow& window, Platform& platform)
        : window_(window), platform_(platform), search_(window, platform) {
        search_.keepListings();
    }

    // Before the window is shown: skin, fixed border, drive selector.
    void Form_Load();
    // Every close request. Sets `Cancel` to 1 to keep the window; otherwise the window unloads.
    void Form_QueryUnload(int& Cancel);
    void Form_Unload();

    void Command1_Click() { search_.Command1_Click(); }
    void Command2_Click() { search_.Command2_Click(); }
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void List1_DblClick() { search_.List1_DblClick(); }

    bool unloaded() const { return unloaded_; }

  private:
    FormWindow& window_;
    Platform& platform_;
    SearchCore search_;
    bool unloaded_ = false;
};

}  // namespace quarvex
