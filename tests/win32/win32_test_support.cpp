#include "win32_test_support.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/utf16.h"

namespace quarvex::win32::testing {

namespace {

std::wstring unixPathOf(const std::wstring& path);

std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    for (const wchar_t c : argument) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

// Runs a shell script under Wine (Wine starts ELF programs itself) with `arguments` as $1, $2...
// and waits until it has finished: Wine does not wait for a Unix program, so the script leaves
// a file behind when it is done.
void runUnix(const std::wstring& script, const std::vector<std::wstring>& arguments) {
    static std::atomic<int> runs{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring done = std::wstring(temp) + L"quarvex-unix-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++runs) + L".done";
    std::wstring command =
        L"/bin/sh -c " + quoted(script + L"; : > \"$0\"") + L" " + quoted(unixPathOf(done));
    for (const std::wstring& a : arguments) command += L" " + quoted(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    for (int i = 0; i < 2000 && !fileExists(done); ++i) Sleep(5);
    DeleteFileW(done.c_str());
}

// The Unix path Wine maps a Windows path to (the file need not exist).
std::wstring unixPathOf(const std::wstring& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return {};
    char* unix = convert(path.c_str());
    if (unix == nullptr) return {};
    const std::wstring out = toWide(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return out;
}

bool isLinkPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void removeLink(const std::wstring& path) {
    // Under Wine, deleting a Unix link deletes what it points to, and removing it as a folder
    // fails: the link goes from the Unix side.
    if (underWine()) {
        runUnix(L"rm -f -- \"$1\"", {unixPathOf(path)});
        return;
    }
    if (!RemoveDirectoryW(longPath(path).c_str())) DeleteFileW(longPath(path).c_str());
}

void emptyFolder(const std::wstring& folder) {
    const std::wstring base = folder.back() == L'\\' ? folder : folder + L"\\";
    WIN32_FIND_DATAW record;
    HANDLE find = FindFirstFileW(longPath(base + L"*").c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = record.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = base + name;
        if ((record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            removeLink(path);
        } else if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            removeTree(path);
        } else {
            SetFileAttributesW(longPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(longPath(path).c_str());
        }
    } while (FindNextFileW(find, &record));
    FindClose(find);
}

}  // namespace

void clearTestDrive() {
    emptyFolder(kTestDrive);
}

bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring longPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
    return path;
}

void makeFolder(const std::wstring& path) {
    const std::wstring full = longPath(path);
    // Past the root: "\\?\C:\" or "C:\".
    const std::size_t start = full.rfind(L"\\\\?\\", 0) == 0 ? 7 : 3;
    for (std::size_t cut = full.find(L'\\', start); cut != std::wstring::npos;
         cut = full.find(L'\\', cut + 1))
        CreateDirectoryW(full.substr(0, cut).c_str(), nullptr);
    CreateDirectoryW(full.c_str(), nullptr);
}

void makeFile(const std::wstring& path, std::uint64_t size) {
    makeFolder(path.substr(0, path.rfind(L'\\')));
    HANDLE f =
        CreateFileW(longPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    const std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, 4096)), 'q');
    DWORD written = 0;
    WriteFile(f, head.data(), static_cast<DWORD>(head.size()), &written, nullptr);
    if (size > head.size()) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(size);
        SetFilePointerEx(f, end, nullptr, FILE_BEGIN);
        SetEndOfFile(f);
    }
    CloseHandle(f);
}

void removeTree(const std::wstring& folder) {
    // Wine hides links whose target is gone and deletes through links to files, so there the
    // Windows calls cannot be trusted with a tree that holds links.
    if (underWine()) {
        runUnix(L"rm -rf -- \"$1\"", {unixPathOf(folder)});
        return;
    }
    if (isLinkPath(folder)) {
        removeLink(folder);
        return;
    }
    emptyFolder(folder);
    RemoveDirectoryW(longPath(folder).c_str());
}

bool makeFolderLink(const std::wstring& link, const std::wstring& target) {
    if (underWine()) {
        runUnix(L"ln -s -- \"$1\" \"$2\"", {unixPathOf(target), unixPathOf(link)});
        return isLinkPath(link);
    }
    // A junction: a mount-point reparse point naming the target, made without any privilege.
    if (!CreateDirectoryW(longPath(link).c_str(), nullptr)) return false;
    HANDLE h = CreateFileW(longPath(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const std::wstring substitute = L"\\??\\" + target;
    const auto substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    const auto printBytes = static_cast<USHORT>(target.size() * sizeof(wchar_t));
    // Tag, data length, reserved; then offsets and lengths of both names, then the names.
    std::vector<unsigned char> data(16 + substituteBytes + 2 + printBytes + 2, 0);
    const DWORD tag = 0xA0000003;
    const auto dataLength = static_cast<USHORT>(data.size() - 8);
    const USHORT names[4] = {0, substituteBytes, static_cast<USHORT>(substituteBytes + 2),
                             printBytes};
    std::memcpy(data.data(), &tag, 4);
    std::memcpy(data.data() + 4, &dataLength, 2);
    std::memcpy(data.data() + 8, names, 8);
    std::memcpy(data.data() + 16, substitute.data(), substituteBytes);
    std::memcpy(data.data() + 16 + substituteBytes + 2, target.data(), printBytes);
    DWORD returned = 0;
    const BOOL made =
        DeviceIoControl(h, 0x000900A4 /* FSCTL_SET_REPARSE_POINT */, data.data(),
                        static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(h);
    if (!made) RemoveDirectoryW(longPath(link).c_str());
    return made && isLinkPath(link);
}

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string readFile(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    CloseHandle(f);
    return data;
}

namespace {

BOOL WINAPI fakeDisable(PVOID* old) {
    // Each turning off hands out a value of its own, which its revert must give back.
    *old = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(++FakeWow64::switchedOff));
    ++FakeWow64::offNow;
    return TRUE;
}

BOOL WINAPI fakeRevert(PVOID old) {
    if (reinterpret_cast<std::uintptr_t>(old) !=
            static_cast<std::uintptr_t>(FakeWow64::switchedOff) ||
        FakeWow64::offNow == 0)
        ++FakeWow64::badReverts;
    --FakeWow64::offNow;
    return TRUE;
}

}  // namespace

void FakeWow64::install(NtCalls& calls, const std::wstring& windowsFolder) {
    calls.disableRedirection = &fakeDisable;
    calls.revertRedirection = &fakeRevert;
    calls.windowsFolder = toUtf8(windowsFolder);
    offNow = switchedOff = badReverts = 0;
}

std::string windowTextOf(HWND h) {
    // Read without a message, so that a thread busy elsewhere cannot block the reader.
    std::wstring text(8192, L'\0');
    text.resize(static_cast<std::size_t>(InternalGetWindowText(h, text.data(), 8192)));
    return toUtf8(text);
}

void pumpFor(int ms) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(1);
    } while (GetTickCount64() < end);
}

BoxAnswerer::BoxAnswerer(DWORD uiThread, Answer answer)
    : uiThread_(uiThread), answer_(std::move(answer)), thread_([this] { run(); }) {}

BoxAnswerer::~BoxAnswerer() {
    stop_ = true;
    thread_.join();
}

std::vector<SeenBox> BoxAnswerer::seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void BoxAnswerer::whileWaiting(std::function<bool()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = std::move(action);
}

namespace {

// A window procedure's calling convention, which a lambda does not have on 32-bit Windows.
BOOL CALLBACK collectBox(HWND h, LPARAM boxes) {
    wchar_t name[16] = {};
    GetClassNameW(h, name, 16);
    if (std::wstring(name) == L"#32770" && IsWindowVisible(h))
        reinterpret_cast<std::vector<HWND>*>(boxes)->push_back(h);
    return TRUE;
}

}  // namespace

void BoxAnswerer::run() {
    struct Found {
        std::vector<HWND> boxes;
    } found;
    while (!stop_) {
        found.boxes.clear();
        EnumThreadWindows(uiThread_, collectBox, reinterpret_cast<LPARAM>(&found.boxes));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A box that has gone may hand its handle on to the next one.
            answered_.erase(std::remove_if(answered_.begin(), answered_.end(),
                                           [](HWND h) { return !IsWindow(h); }),
                            answered_.end());
        }
        for (HWND box : found.boxes) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (std::find(answered_.begin(), answered_.end(), box) != answered_.end()) continue;
            }
            SeenBox seen;
            seen.title = windowTextOf(box);
            seen.text = windowTextOf(GetDlgItem(box, 0xFFFF));  // the message box's text
            seen.hasYesNo = GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr;
            seen.hasOk = GetDlgItem(box, IDOK) != nullptr;
            const int button = answer_ ? answer_(seen) : (seen.hasOk ? IDOK : IDYES);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(seen);
                answered_.push_back(box);
            }
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
        }
        std::function<bool()> action;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            action = action_;
        }
        if (action && action()) {
            std::lock_guard<std::mutex> lock(mutex_);
            action_ = nullptr;
        }
        Sleep(2);
    }
}

}  // namespace quarvex::win32::testing
