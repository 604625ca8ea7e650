// Quarvex.exe: the main window over the Win32 platform.
// windows.h comes first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "platform/win32/win32_platform.h"
#include "ui/form.h"
#include "ui/win32/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    quarvex::win32::Win32Platform platform;
    quarvex::win32::MainWindow window(instance);
    if (window.hwnd() == nullptr) return 1;
    quarvex::Form1 form(window, platform);
    quarvex::win32::loadForm(window, form);
    window.show();
    return window.run();
}
