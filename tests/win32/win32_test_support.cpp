#include "win32_test_support.h"

#include <algorithm>

#include "platform/win32/utf16.h"

namespace quarvex::win32::testing {

namespace {

void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW record;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = record.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + name;
        if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            removeTree(path + L"\\");
            RemoveDirectoryW(path.c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(find, &record));
    FindClose(find);
}

}  // namespace

void clearTestDrive() {
    removeTree(kTestDrive);
}

void makeFolder(const std::wstring& path) {
    for (std::size_t cut = path.find(L'\\', 3); cut != std::wstring::npos;
         cut = path.find(L'\\', cut + 1))
        CreateDirectoryW(path.substr(0, cut).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void makeFile(const std::wstring& path, std::uint64_t size) {
    makeFolder(path.substr(0, path.rfind(L'\\')));
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
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

void BoxAnswerer::run() {
    struct Found {
        std::vector<HWND> boxes;
    } found;
    while (!stop_) {
        found.boxes.clear();
        EnumThreadWindows(
            uiThread_,
            [](HWND h, LPARAM param) CALLBACK -> BOOL {
                wchar_t name[16] = {};
                GetClassNameW(h, name, 16);
                if (std::wstring(name) == L"#32770" && IsWindowVisible(h))
                    reinterpret_cast<Found*>(param)->boxes.push_back(h);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
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
