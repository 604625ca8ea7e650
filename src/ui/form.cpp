#include "ui/form.h"

#include "ui/skin.h"
#include "ui/texts.h"

namespace quarvex {

void Form1::Form_Load() {
    SkinH_AttachEx(platform_.programFolder() + texts::kSkinFileName, "");
    window_.clearSizingBorder();
    search_.init();
}

void Form1::Form_QueryUnload(int& Cancel) {
    if (unloaded_) return;
    if (window_.messageBox(BoxKind::ConfirmExit, texts::kConfirmExit) == kIdYes) {
        Form_Unload();
    } else {
        Cancel = 1;
    }
}

void Form1::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    // A running search is abandoned: it returns at its next pumped event without a report.
    search_.abandon();
    window_.unload();
}

void Form1::Command3_Click() {
    platform_.open(texts::kWebPage, kShowMinimized);
}

void Form1::Command4_Click() {
    window_.messageBox(BoxKind::Help, window_.text2());
}

void Form1::Command5_Click() {
    int cancel = 0;
    Form_QueryUnload(cancel);
}

}  // namespace quarvex
