#include "platform/win32/tree_watch.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/win32/utf16.h"

namespace quarvex::win32 {

namespace {

constexpr DWORD kBufferBytes = 64 * 1024;
// What a listing shows: names, sizes, attributes, and a folder's permissions. Not the last write
// time: NTFS tells a folder's as a change of the folder itself whenever an entry in it changes,
// which would discard everything below it, and no listing shows it.
constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                          FILE_NOTIFY_CHANGE_SECURITY;
constexpr std::size_t kRecordNameOffset = offsetof(FILE_NOTIFY_INFORMATION, FileName);
// Reads that complete at once, one after another, in one drain: past this many the changes come
// faster than they are read, and the drain gives up rather than hold its caller.
constexpr int kMostReadsPerDrain = 256;

// Whether a name has the shape of an 8.3 alias the file system made ("PROGRA~1", "LONGNA~2.TXT").
// A record may name an entry, or a folder on its path, by its alias.
bool mayBeShortName(std::wstring_view name) {
    const std::size_t dot = name.find(L'.');
    const std::wstring_view base = name.substr(0, dot);
    const std::wstring_view extension =
        dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot + 1);
    const std::size_t tilde = base.rfind(L'~');
    if (base.size() > 8 || extension.size() > 3 || extension.find(L'.') != extension.npos ||
        tilde == base.npos || tilde == 0 || tilde + 1 == base.size())
        return false;
    const auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    const auto lower = [](wchar_t c) { return c >= L'a' && c <= L'z'; };
    const std::wstring_view number = base.substr(tilde + 1);
    return std::all_of(number.begin(), number.end(), digit) &&
           std::none_of(name.begin(), name.end(), lower);
}

}  // namespace

void ChangeMap::add(std::string_view path, std::uint64_t key) {
    remove(key);
    std::string folded;
    appendFolded(folded, path);
    keys_.emplace(folded, key);
    paths_[key] = std::move(folded);
}

void ChangeMap::remove(std::uint64_t key) {
    const auto found = paths_.find(key);
    if (found == paths_.end()) return;
    auto [at, end] = keys_.equal_range(found->second);
    for (; at != end; ++at) {
        if (at->second == key) {
            keys_.erase(at);
            break;
        }
    }
    paths_.erase(found);
}

bool ChangeMap::tell(const std::string& folded, bool folder, std::vector<ToldChange>& out) const {
    auto [at, end] = keys_.equal_range(folded);
    const bool known = at != end;
    for (; at != end; ++at) out.push_back({at->second, folder});
    return known;
}

void ChangeMap::map(std::wstring_view path, std::vector<ToldChange>& out) const {
    std::string utf8, entry;
    appendUtf8(utf8, path);
    appendFolded(entry, utf8);
    const std::size_t cut = entry.rfind('\\');
    const std::string holder = cut == std::string::npos ? std::string() : entry.substr(0, cut);
    // Any record of a known folder's own path: removed, moved away, given new attributes or
    // security, or replaced (a rename onto an empty folder gives no record of its removal).
    const bool entryKnown = tell(entry, true, out);
    const bool holderKnown = tell(holder, false, out);

    const std::size_t wideCut = path.rfind(L'\\');
    const std::wstring_view name =
        wideCut == std::wstring_view::npos ? path : path.substr(wideCut + 1);
    if (holderKnown) {
        // By its alias, the entry may be a known folder: its holder stands for it.
        if (!entryKnown && mayBeShortName(name)) tell(holder, true, out);
        return;
    }
    // A holder the store does not keep: its changes touch no listing the store keeps. Unless a
    // folder on the way is named by its alias; then the nearest known folder above stands for it.
    bool alias = false;
    for (std::wstring_view rest = path.substr(0, wideCut == path.npos ? 0 : wideCut);
         !rest.empty() && !alias;) {
        const std::size_t next = rest.find(L'\\');
        alias = mayBeShortName(rest.substr(0, next));
        rest = next == rest.npos ? std::wstring_view() : rest.substr(next + 1);
    }
    for (std::string above = holder; alias && !above.empty();) {
        const std::size_t up = above.rfind('\\');
        above.resize(up == std::string::npos ? 0 : up);
        if (tell(above, true, out)) break;
    }
}

std::unique_ptr<Win32TreeWatch> Win32TreeWatch::start(const NtCalls& nt, HANDLE root) {
    // A handle of its own on the very folder open as the root, for overlapped reads.
    HANDLE folder;
    {
        const RedirectionOff off(nt);
        folder = ReOpenFile(root, FILE_LIST_DIRECTORY,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED);
    }
    if (folder == INVALID_HANDLE_VALUE) return nullptr;
    NtHandle ownedFolder = NtHandle::fromKernel32(folder);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    std::unique_ptr<Win32TreeWatch> watch(
        new Win32TreeWatch(nt, std::move(ownedFolder), NtHandle::fromKernel32(event)));
    // A file system without change notification refuses the first read.
    if (!watch->issue()) return nullptr;
    return watch;
}

Win32TreeWatch::Win32TreeWatch(const NtCalls& nt, NtHandle folder, NtHandle event)
    : nt_(nt),
      folder_(std::move(folder)),
      event_(std::move(event)),
      buffer_(new DWORD[kBufferBytes / sizeof(DWORD)]) {}

Win32TreeWatch::~Win32TreeWatch() {
    if (!reading_) return;
    // The system writes into the buffer until the read has ended.
    CancelIoEx(folder_.get(), &overlapped_);
    DWORD bytes = 0;
    GetOverlappedResult(folder_.get(), &overlapped_, &bytes, TRUE);
}

bool Win32TreeWatch::issue() {
    overlapped_ = {};
    overlapped_.hEvent = event_.get();
    const RedirectionOff off(nt_);
    reading_ = ReadDirectoryChangesW(folder_.get(), buffer_.get(), kBufferBytes, TRUE, kFilter,
                                     nullptr, &overlapped_, nullptr) != FALSE;
    return reading_;
}

bool Win32TreeWatch::watch(FolderHandle, std::string_view relativePath, std::uint64_t key) {
    std::lock_guard lock(mutex_);
    map_.add(relativePath, key);
    return true;
}

void Win32TreeWatch::unwatch(std::uint64_t key) {
    std::lock_guard lock(mutex_);
    map_.remove(key);
}

void Win32TreeWatch::mapRecords(std::size_t bytes, std::vector<ToldChange>& out) const {
    const auto* data = reinterpret_cast<const unsigned char*>(buffer_.get());
    bytes = std::min<std::size_t>(bytes, kBufferBytes);
    for (std::size_t at = 0; at + kRecordNameOffset <= bytes;) {
        FILE_NOTIFY_INFORMATION record;
        std::memcpy(&record, data + at, kRecordNameOffset);
        const std::size_t nameBytes =
            std::min<std::size_t>(record.FileNameLength, bytes - at - kRecordNameOffset);
        map_.map(std::wstring_view(reinterpret_cast<const wchar_t*>(data + at + kRecordNameOffset),
                                   nameBytes / sizeof(wchar_t)),
                 out);
        if (record.NextEntryOffset == 0) break;
        at += record.NextEntryOffset;
    }
}

bool Win32TreeWatch::drain(ChangeSink& sink) {
    std::vector<ToldChange> told;
    {
        std::lock_guard lock(mutex_);
        // No read since the last drain: what changed meanwhile went untold.
        if (!reading_) {
            issue();
            return false;
        }
        for (int reads = 0;; ++reads) {
            DWORD bytes = 0;
            if (GetOverlappedResult(folder_.get(), &overlapped_, &bytes, FALSE)) {
                // No bytes: the system's queue overflowed and it dropped what it had.
                if (bytes == 0) reads = kMostReadsPerDrain;
                mapRecords(bytes, told);
            } else if (GetLastError() == ERROR_IO_INCOMPLETE) {
                break;
            } else {
                // ERROR_NOTIFY_ENUM_DIR (overflow), or the read ended: the root is gone, or the
                // thread that started the read has exited (the system cancels its reads).
                reads = kMostReadsPerDrain;
            }
            if (!issue() || reads >= kMostReadsPerDrain) return false;
        }
    }
    std::sort(told.begin(), told.end(), [](const ToldChange& a, const ToldChange& b) {
        return std::pair(a.key, a.folder) < std::pair(b.key, b.folder);
    });
    told.erase(std::unique(told.begin(), told.end()), told.end());
    for (const ToldChange& change : told) {
        if (change.folder)
            sink.folderChanged(change.key);
        else
            sink.entriesChanged(change.key);
    }
    return true;
}

}  // namespace quarvex::win32
