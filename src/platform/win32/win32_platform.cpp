#include "platform/win32/win32_platform.h"

#include "platform/win32/nt_calls.h"
#include "platform/win32/nt_handle.h"
// shellapi.h needs windows.h (included by nt_calls.h) before it.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/win32/tree_watch.h"
#include "platform/win32/utf16.h"

namespace quarvex::win32 {

namespace {

// A test hook: with QUARVEX_TEST_WINE_WATCH set, Wine's tree watch is trusted as Windows' is, so
// that tests can try the listing store end to end under Wine, waiting out its late changes.
bool trustsWineWatchForTests() {
    wchar_t value[2];
    return GetEnvironmentVariableW(L"QUARVEX_TEST_WINE_WATCH", value, 2) != 0;
}

}  // namespace

const NtCalls& NtCalls::system() {
    static const NtCalls calls = [] {
        NtCalls c;
        const auto load = [](auto& function, HMODULE module, const char* name) {
            using Function = std::remove_reference_t<decltype(function)>;
            // Through void (*)(), the one function type any other may be cast from.
            function = reinterpret_cast<Function>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
        };
        std::wstring windows(MAX_PATH, L'\0');
        const UINT length =
            GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
        if (length < windows.size()) c.windowsFolder = toUtf8(windows.substr(0, length));

        const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        BOOL(WINAPI * isWow64)(HANDLE, PBOOL) = nullptr;
        load(isWow64, kernel32, "IsWow64Process");
        BOOL wow64 = FALSE;
        if (isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64) {
            load(c.disableRedirection, kernel32, "Wow64DisableWow64FsRedirection");
            load(c.revertRedirection, kernel32, "Wow64RevertWow64FsRedirection");
        }

        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return c;
        load(c.createFile, ntdll, "NtCreateFile");
        load(c.queryDirectoryFile, ntdll, "NtQueryDirectoryFile");
        load(c.queryInformationFile, ntdll, "NtQueryInformationFile");
        load(c.queryVolumeInformationFile, ntdll, "NtQueryVolumeInformationFile");
        load(c.close, ntdll, "NtClose");
        load(c.statusToDosError, ntdll, "RtlNtStatusToDosError");
        const bool wine = GetProcAddress(ntdll, "wine_get_version") != nullptr;
        c.followsLinksOnOpen = wine;
        c.watchesTreesExactly = !wine || trustsWineWatchForTests();
        return c;
    }();
    return calls;
}

namespace {

// What a FolderHandle points to. A subfolder lies on its parent's volume: a folder on another
// volume is reached only through a mount point, and mount points are never opened.
struct Folder {
    NtHandle handle;
    std::uint64_t volume;
    // Listed with file IDs until its file system refuses that class.
    bool withIds = true;
};

Folder* folderOf(FolderHandle h) {
    return reinterpret_cast<Folder*>(h);
}

FolderHandle handOut(NtHandle handle, std::uint64_t volume) {
    return reinterpret_cast<FolderHandle>(new Folder{std::move(handle), volume});
}

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What fits a UNICODE_STRING's byte count.
constexpr std::size_t kMaxNameUnits = 32767;
constexpr std::size_t kListingBytes = 64 * 1024;
// What a thread takes of the address space beside its stack: its block, guard pages and, under
// WOW64 or Wine, a second stack of the system's own.
constexpr std::uint64_t kThreadOverheadBytes = std::uint64_t{1} << 20;

// Threads started through the platform that have not ended.
std::atomic<std::size_t> runningThreads{0};

// How many threads the address space carries with half of it left for the heap. Each reserves
// the program's stack size there: a 32-bit process, with 2 or 4 GB, ran out of memory at about a
// thousand (a walk with -j1024 on a slow drive); a 64-bit one never comes near.
std::size_t threadsThatFit() {
    static const std::size_t fit = [] {
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        if (!GlobalMemoryStatusEx(&status)) return SIZE_MAX;
        const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
        const std::uint64_t perThread =
            headers->OptionalHeader.SizeOfStackReserve + kThreadOverheadBytes;
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(SIZE_MAX, status.ullTotalVirtual / 2 / perThread));
    }();
    return fit;
}

bool isLinkAttributes(ULONG attributes, ULONG tag) {
    ListedEntry e;
    e.attributes = attributes;
    e.reparseTag = tag;
    return isLink(e);
}

// A single name of a folder's entry: nothing that would step elsewhere or name a stream.
bool isOneName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("\\/:\0", 4)) == std::string_view::npos;
}

OpenResult unreadable(DWORD error) {
    OpenResult result;
    result.error = static_cast<int>(error);
    return result;
}

OpenResult notAFolder() {
    OpenResult result;
    result.status = OpenStatus::NotAFolder;
    return result;
}

// An open or query that failed with `status`: what the walk does next, and the system's reason.
OpenResult failedOpen(const NtCalls& nt, NTSTATUS status) {
    OpenResult result = unreadable(nt.statusToDosError(status));
    switch (status) {
        case nt::kNotADirectory:
            result.status = OpenStatus::NotAFolder;
            break;
        case nt::kInsufficientResources:
        case nt::kTooManyOpenedFiles:
            result.status = OpenStatus::OutOfHandles;
            break;
        default:
            break;
    }
    return result;
}

// Opens the folder `name` of `parent` (the parent itself for an empty name) into `out`.
NTSTATUS openRelative(const NtCalls& nt, HANDLE parent, std::wstring_view name, ULONG moreOptions,
                      NtHandle& out) {
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.data());
    objectName.Length = objectName.MaximumLength =
        static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &objectName;
    // As Windows opens names; a case-sensitive folder still takes the exact name.
    attributes.Attributes = nt::kObjCaseInsensitive;
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    NTSTATUS status;
    {
        const RedirectionOff off(nt);
        status = nt.createFile(&opened, kFolderAccess, &attributes, &io, nullptr, 0, kShareAll,
                               nt::kFileOpen,
                               nt::kDirectoryFile | nt::kSynchronousIoNonAlert |
                                   nt::kOpenForBackupIntent | moreOptions,
                               nullptr, 0);
    }
    // Whatever handle came back has an owner, whatever the status says.
    out = opened != nullptr ? NtHandle(nt, opened) : NtHandle();
    return status;
}

NTSTATUS queryTag(const NtCalls& nt, HANDLE h, nt::AttributeTagInformation& tag) {
    IO_STATUS_BLOCK io{};
    return nt.queryInformationFile(h, &io, &tag, sizeof tag, nt::kFileAttributeTagInformation);
}

NTSTATUS queryFileId(const NtCalls& nt, HANDLE h, std::uint64_t& id) {
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        nt.queryInformationFile(h, &io, &index, sizeof index, nt::kFileInternalInformation);
    id = static_cast<std::uint64_t>(index.QuadPart);
    return status;
}

// Whether the entry `name` of `parent` is, as listed now, a folder and no link, with file ID
// `id`: the folder opened by that name is really that entry. A fresh handle keeps the parent's
// own listing (and other threads' lookups) undisturbed.
bool entryIsFolder(const NtCalls& nt, HANDLE parent, std::wstring_view name, std::uint64_t id) {
    NtHandle again;
    if (openRelative(nt, parent, {}, 0, again) != nt::kSuccess) return false;
    alignas(8) unsigned char buffer[4096];
    UNICODE_STRING mask;
    mask.Buffer = const_cast<PWSTR>(name.data());
    mask.Length = mask.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    NTSTATUS status;
    {
        const RedirectionOff off(nt);
        status = nt.queryDirectoryFile(again.get(), nullptr, nullptr, nullptr, &io, buffer,
                                       sizeof buffer, nt::kFileIdFullDirectoryInformation, TRUE,
                                       &mask, TRUE);
    }
    if (status != nt::kSuccess) return false;
    nt::FullDirInformation entry{};
    std::memcpy(&entry, buffer, nt::kFullDirNameOffset);
    std::uint64_t entryId;
    std::memcpy(&entryId, buffer + nt::kIdFullDirIdOffset, sizeof entryId);
    return (entry.fileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !isLinkAttributes(entry.fileAttributes, entry.eaSize) && entryId == id;
}

// The long-path form of a folder the user named: "\\?\C:\x\y" or "\\?\UNC\server\share\x".
std::wstring longPathForm(const std::string& path) {
    std::wstring wide = toWide(path);
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return wide;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    // A drive's root keeps its separator ("C:" alone would be the drive's current folder).
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace

Win32Platform::Win32Platform() : nt_(NtCalls::system()) {}

Win32Platform::Win32Platform(const NtCalls& nt) : nt_(nt) {}

OpenResult Win32Platform::openRoot(const std::string& path) {
    // Links on the way to a root are followed: the user named it.
    const std::wstring wide = longPathForm(path);
    HANDLE opened;
    DWORD error;
    {
        const RedirectionOff off(nt_);
        opened = CreateFileW(wide.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        error = GetLastError();
    }
    if (opened == INVALID_HANDLE_VALUE) {
        OpenResult result = unreadable(error);
        switch (error) {
            case ERROR_DIRECTORY:
                result.status = OpenStatus::NotAFolder;
                break;
            case ERROR_TOO_MANY_OPEN_FILES:
            case ERROR_NO_SYSTEM_RESOURCES:
                result.status = OpenStatus::OutOfHandles;
                break;
            default:
                break;
        }
        return result;
    }
    NtHandle h = NtHandle::fromKernel32(opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info)) return unreadable(GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return notAFolder();
    OpenResult result;
    result.identity.volume = info.dwVolumeSerialNumber;
    result.identity.file =
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    result.identity.mount = result.identity.volume;
    result.handle = handOut(std::move(h), result.identity.volume);
    result.status = OpenStatus::Opened;
    return result;
}

OpenResult Win32Platform::openChild(FolderHandle parentHandle, std::string_view name) {
    if (parentHandle == kNoFolder) return unreadable(ERROR_INVALID_HANDLE);
    if (!nt_.loaded()) return unreadable(ERROR_PROC_NOT_FOUND);
    if (!isOneName(name)) return notAFolder();
    const Folder& parent = *folderOf(parentHandle);
    const std::wstring wide = toWide(name);
    if (wide.size() > kMaxNameUnits) return unreadable(ERROR_FILENAME_EXCED_RANGE);

    // The name itself, never what it points to. Every handle below has an owner, so each way
    // out closes what was opened on the way, once.
    NtHandle h;
    NTSTATUS status = openRelative(nt_, parent.handle.get(), wide, nt::kOpenReparsePoint, h);
    if (status != nt::kSuccess) return failedOpen(nt_, status);
    nt::AttributeTagInformation tag{};
    std::uint64_t id = 0;
    status = queryTag(nt_, h.get(), tag);
    if (status == nt::kSuccess) status = queryFileId(nt_, h.get(), id);
    if (status != nt::kSuccess) return unreadable(nt_.statusToDosError(status));
    if ((tag.fileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        isLinkAttributes(tag.fileAttributes, tag.reparseTag))
        return notAFolder();
    if ((tag.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Any other reparse point (a cloud folder) is an ordinary folder, but opened on the
        // reparse point itself it may list only what is already local: open it through its
        // filter, and keep that handle only if it is still the same folder.
        NtHandle through;
        if (openRelative(nt_, parent.handle.get(), wide, 0, through) == nt::kSuccess) {
            std::uint64_t throughId = 0;
            if (queryFileId(nt_, through.get(), throughId) != nt::kSuccess || throughId != id)
                return notAFolder();
            h = std::move(through);
        }
    }
    if (nt_.followsLinksOnOpen && !entryIsFolder(nt_, parent.handle.get(), wide, id))
        return notAFolder();
    OpenResult result;
    result.identity.volume = parent.volume;
    result.identity.file = id;
    result.identity.mount = parent.volume;
    result.handle = handOut(std::move(h), parent.volume);
    result.status = OpenStatus::Opened;
    return result;
}

// openChild identifies every folder it opens; this is for completeness.
bool Win32Platform::identify(FolderHandle folder, FolderIdentity& identity) {
    const Folder& f = *folderOf(folder);
    std::uint64_t id = 0;
    if (queryFileId(nt_, f.handle.get(), id) != nt::kSuccess) return false;
    identity = {f.volume, id, f.volume};
    return true;
}

void Win32Platform::closeFolder(FolderHandle folder) {
    // The folder's handle closes with it.
    if (folder != kNoFolder) delete folderOf(folder);
}

ListStatus Win32Platform::listFolder(FolderHandle folder, Listing& out) {
    out.clear();
    if (folder == kNoFolder || !nt_.loaded()) {
        out.setError(folder == kNoFolder ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return ListStatus::Failed;
    }
    Folder& f = *folderOf(folder);
    std::vector<unsigned char>& buffer = out.buffer();
    if (buffer.size() < kListingBytes) buffer.resize(kListingBytes);
    IO_STATUS_BLOCK io{};
    const auto query = [&] {
        io = {};
        const RedirectionOff off(nt_);
        return nt_.queryDirectoryFile(
            f.handle.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
            static_cast<ULONG>(buffer.size()),
            f.withIds ? nt::kFileIdFullDirectoryInformation : nt::kFileFullDirectoryInformation,
            FALSE, nullptr, FALSE);
    };
    NTSTATUS status = query();
    if (f.withIds && (status == nt::kInvalidInfoClass || status == nt::kInvalidParameter ||
                      status == nt::kNotSupported || status == nt::kNotImplemented)) {
        // A file system without file IDs in its listings: the same entries without them.
        f.withIds = false;
        status = query();
    }
    // "No such file": a folder without even "." and "..", such as an empty drive's root.
    if (status == nt::kNoMoreFiles || status == nt::kNoSuchFile) return ListStatus::End;
    if (status != nt::kSuccess) {
        out.setError(static_cast<int>(nt_.statusToDosError(status)));
        return ListStatus::Failed;
    }

    const std::size_t nameOffset = f.withIds ? nt::kIdFullDirNameOffset : nt::kFullDirNameOffset;
    const std::size_t filled = std::min<std::size_t>(io.Information, buffer.size());
    std::string name;
    for (std::size_t at = 0; at + nameOffset <= filled;) {
        // Only the fixed part: a short last name may end before the structure's padding does.
        nt::FullDirInformation entry{};
        std::memcpy(&entry, buffer.data() + at, nt::kFullDirNameOffset);
        std::uint64_t file = 0;
        if (f.withIds) std::memcpy(&file, buffer.data() + at + nt::kIdFullDirIdOffset, sizeof file);
        const std::size_t nameBytes =
            std::min<std::size_t>(entry.fileNameLength, filled - at - nameOffset);
        std::wstring_view wide(reinterpret_cast<const wchar_t*>(buffer.data() + at + nameOffset),
                               nameBytes / sizeof(wchar_t));
        if (wide != L"." && wide != L"..") {
            name.clear();
            appendUtf8(name, wide);
            const ULONG tag =
                (entry.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.eaSize : 0;
            out.add(name, entry.fileAttributes, tag,
                    static_cast<std::uint64_t>(entry.endOfFile.QuadPart))
                .file = file;
        }
        if (entry.nextEntryOffset == 0) break;
        at += entry.nextEntryOffset;
    }
    return ListStatus::More;
}

std::string Win32Platform::errorText(int error) const {
    wchar_t* text = nullptr;
    // Without the message's own line breaks: an error line is one line.
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", text != nullptr ? n : 0);
    if (text != nullptr) LocalFree(text);
    // The system's texts end in a period and a line break; an error line has its own ending.
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' '))
        message.pop_back();
    if (message.empty()) return "error " + std::to_string(error);
    return toUtf8(message);
}

bool Win32Platform::startThread(std::thread& thread, std::function<void()> body) {
    if (runningThreads.fetch_add(1) >= threadsThatFit()) {
        --runningThreads;
        return false;
    }
    const bool started = Platform::startThread(thread, [body = std::move(body)] {
        struct Ended {
            ~Ended() { --runningThreads; }
        } ended;
        body();
    });
    if (!started) --runningThreads;
    return started;
}

// Windows counts cached reads with the device's, so only the processor time tells.
ProcessUsage Win32Platform::usage() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return {};
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return {(ticks(kernel) + ticks(user)) / 10, -1};  // 100 ns ticks
}

std::unique_ptr<TreeWatch> Win32Platform::watchTree(FolderHandle root, const std::string&) {
    if (root == kNoFolder || !nt_.watchesTreesExactly || nt_.queryVolumeInformationFile == nullptr)
        return nullptr;
    // The device the open root lies on, whatever path led there (a mapped drive, a UNC path, a
    // link to a share): a share does not tell changes other machines make.
    const HANDLE h = folderOf(root)->handle.get();
    nt::DeviceInformation device{};
    IO_STATUS_BLOCK io{};
    if (nt_.queryVolumeInformationFile(h, &io, &device, sizeof device,
                                       nt::kFileFsDeviceInformation) != nt::kSuccess ||
        (device.characteristics & nt::kRemoteDevice) != 0 ||
        device.deviceType == nt::kDeviceNetworkFileSystem)
        return nullptr;
    return Win32TreeWatch::start(nt_, h);
}

unsigned Win32Platform::driveType(const std::string& root) {
    return GetDriveTypeW(toWide(root).c_str());
}

bool Win32Platform::open(const std::string& target, int showMode) {
    // Under WOW64, System32 by its own name would open SysWOW64's file of that name, or none: the
    // file that was found is named through the Sysnative alias. The shell itself runs with
    // redirection on, as it loads DLLs.
    const std::string alias = nt_.underWow64() ? sysnativeAlias(target, nt_.windowsFolder) : "";
    // The exact path or address goes to the shell's open action: no command line is built.
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", toWide(alias.empty() ? target : alias).c_str(), nullptr,
                      nullptr, showMode);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

namespace {

// The next name of a path from `at` on, past any separators; empty at its end.
std::string_view nextName(std::string_view path, std::size_t& at) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    while (at < path.size() && separator(path[at])) ++at;
    const std::size_t start = at;
    while (at < path.size() && !separator(path[at])) ++at;
    return path.substr(start, at - start);
}

bool sameName(std::string_view a, std::string_view b) {
    std::string foldedA, foldedB;
    appendFolded(foldedA, a);
    appendFolded(foldedB, b);
    return foldedA == foldedB;
}

std::string_view withoutLongPrefix(std::string_view path) {
    return path.starts_with("\\\\?\\") ? path.substr(4) : path;
}

}  // namespace

std::string sysnativeAlias(std::string_view path, std::string_view windowsFolder) {
    const std::string_view names = withoutLongPrefix(path);
    const std::string_view folder = withoutLongPrefix(windowsFolder);
    std::size_t at = 0, folderAt = 0;
    bool any = false;
    for (std::string_view want; !(want = nextName(folder, folderAt)).empty(); any = true)
        if (!sameName(nextName(names, at), want)) return {};
    const std::string_view system = nextName(names, at);
    if (!any || !sameName(system, "System32")) return {};
    const std::size_t cut = static_cast<std::size_t>(system.data() - path.data());
    return std::string(path.substr(0, cut)) + "Sysnative" + std::string(names.substr(at));
}

std::string Win32Platform::programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);  // a long path: try again with room for it
    }
    path.resize(path.rfind(L'\\') == std::wstring::npos ? 0 : path.rfind(L'\\'));
    return toUtf8(path);
}

}  // namespace quarvex::win32
