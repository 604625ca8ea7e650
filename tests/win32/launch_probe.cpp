// Stands in for a file the window opens: records its own path in "<path>.ran" beside itself.
// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

#include "platform/win32/utf16.h"

int wmain() {
    std::wstring self(MAX_PATH * 4, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::string path = quarvex::win32::toUtf8(self);
    HANDLE f =
        CreateFileW((self + L".ran").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(f, path.data(), static_cast<DWORD>(path.size()), &written, nullptr);
    CloseHandle(f);
    return 0;
}
