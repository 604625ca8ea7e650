// Helpers of the Windows suites: real files on the test drive, and a second thread that answers
// the message boxes of the window under test the way a user would.
#pragma once

// windows.h comes first.
// clang-format off
#include <windows.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/nt_calls.h"

namespace quarvex::win32::testing {

// Drive T: is a folder of the build tree (cmake/wine-run.sh); the window tests search it.
inline constexpr wchar_t kTestDrive[] = L"T:\\";

// Empties the test drive.
void clearTestDrive();
// Whether the suites run under Wine rather than Windows.
bool underWine();
// The "\\?\" form of a full path ("C:\..."), which may be longer than MAX_PATH.
std::wstring longPath(const std::wstring& path);
// Creates a folder and the folders above it; paths may be longer than MAX_PATH.
void makeFolder(const std::wstring& path);
// Creates a file of `size` bytes (sparse beyond what it writes).
void makeFile(const std::wstring& path, std::uint64_t size);
// Removes a folder and everything below it. Links are removed, never followed.
void removeTree(const std::wstring& folder);
// Makes `link` a link to the folder `target`: a junction on Windows; under Wine, which makes no
// reparse points, a Unix symbolic link, which Wine lists as a reparse point with tag 0. False
// when none could be made.
bool makeFolderLink(const std::wstring& link, const std::wstring& target);
bool fileExists(const std::wstring& path);
std::string readFile(const std::wstring& path);

// One message box as the user saw it.
struct SeenBox {
    std::string title;
    std::string text;
    bool hasYesNo = false;
    bool hasOk = false;
};

// Watches the message boxes of one thread and answers each with the button `answer` picks.
class BoxAnswerer {
  public:
    using Answer = std::function<int(const SeenBox&)>;
    // By default every box is answered with OK, or Yes where there is no OK.
    BoxAnswerer(DWORD uiThread, Answer answer = {});
    ~BoxAnswerer();

    std::vector<SeenBox> seen() const;
    // Runs `action` on this thread every few milliseconds until it returns true.
    void whileWaiting(std::function<bool()> action);

  private:
    void run();

    DWORD uiThread_;
    Answer answer_;
    mutable std::mutex mutex_;
    std::vector<SeenBox> seen_;
    std::vector<HWND> answered_;
    std::function<bool()> action_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Stands in for WOW64's file-system redirection in a table of NT calls, so that a process that is
// no WOW64 one makes the calls it would make under WOW64. One thread at a time.
struct FakeWow64 {
    // The table's switch functions become this stand-in's; `windowsFolder` its Windows folder.
    static void install(NtCalls& calls, const std::wstring& windowsFolder = L"C:\\windows");
    static inline int offNow = 0;       // how many times it is off now (0: on)
    static inline int switchedOff = 0;  // how many times it was turned off
    static inline int badReverts = 0;   // reverts without the value their turning off gave
};

// Text of a window of any thread of this process, as UTF-8; sends the window no message.
std::string windowTextOf(HWND h);

// Handles what is pending in this thread's queue for `ms` milliseconds at least.
void pumpFor(int ms);

}  // namespace quarvex::win32::testing
