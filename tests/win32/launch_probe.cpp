// Stands in for a file that is opened: records its own path in "<path>.ran" beside itself, and
// the show mode it was started with in "<path>.show" ("-" when none was given).
// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

#include "platform/win32/utf16.h"

namespace {

// Written whole under another name, then renamed: a reader that sees the file sees all of it.
bool writeFile(const std::wstring& path, const std::string& text) {
    const std::wstring partial = path + L".partial";
    HANDLE f = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    CloseHandle(f);
    return ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain() {
    std::wstring self(MAX_PATH * 4, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const std::string show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0
                                 ? std::to_string(startup.wShowWindow)
                                 : std::string("-");
    // The show mode first: whoever waits for the ".ran" marker then finds both.
    if (!writeFile(self + L".show", show)) return 1;
    return writeFile(self + L".ran", quarvex::win32::toUtf8(self)) ? 0 : 1;
}
