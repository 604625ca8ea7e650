// The ntdll calls the Windows platform makes, and what it must know of the system it runs on, as a
// table: loaded once, and replaceable by tests that need what Wine cannot give (reparse tags on
// folders, exhausted handles, WOW64 on a 64-bit kernel).
#pragma once

// windows.h comes first.
// clang-format off
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarvex::win32 {

struct NtCalls {
    NTSTATUS(NTAPI* createFile)
    (PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
     PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess, ULONG disposition,
     ULONG options, PVOID eaBuffer, ULONG eaLength) = nullptr;
    NTSTATUS(NTAPI* queryDirectoryFile)
    (HANDLE handle, HANDLE event, PVOID apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK io,
     PVOID buffer, ULONG length, FILE_INFORMATION_CLASS infoClass, BOOLEAN returnSingleEntry,
     PUNICODE_STRING fileName, BOOLEAN restartScan) = nullptr;
    NTSTATUS(NTAPI* queryInformationFile)
    (HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
     FILE_INFORMATION_CLASS infoClass) = nullptr;
    // Optional: where it is missing, no tree is watched.
    NTSTATUS(NTAPI* queryVolumeInformationFile)
    (HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, ULONG infoClass) = nullptr;
    NTSTATUS(NTAPI* close)(HANDLE handle) = nullptr;
    // RtlNtStatusToDosError: the Win32 error code an NTSTATUS stands for.
    ULONG(NTAPI* statusToDosError)(NTSTATUS status) = nullptr;
    // Wine opens the target of a Unix symbolic link even with FILE_OPEN_REPARSE_POINT, so there
    // an opened folder is confirmed against its parent's entry for the name.
    bool followsLinksOnOpen = false;
    // Wine's tree watch cannot vouch for a listing: it watches a folder that existed before the
    // watch only once something opens it, names changes inside a moved folder by its old path,
    // and may tell a change only some time after the call that made it returned.
    bool watchesTreesExactly = true;
    // kernel32's Wow64DisableWow64FsRedirection and Wow64RevertWow64FsRedirection, only in a
    // 32-bit process under WOW64 (null elsewhere): WOW64 shows such a process SysWOW64 where
    // System32 is, unless redirection is off.
    BOOL(WINAPI* disableRedirection)(PVOID* old) = nullptr;
    BOOL(WINAPI* revertRedirection)(PVOID old) = nullptr;
    // The system's Windows folder (%windir%), UTF-8.
    std::string windowsFolder;

    bool loaded() const {
        return createFile && queryDirectoryFile && queryInformationFile && close &&
               statusToDosError;
    }
    bool underWow64() const { return disableRedirection && revertRedirection; }
    // The system's own, loaded on first use.
    static const NtCalls& system();
};

// Turns WOW64's file-system redirection off on this thread for its scope, where the process is
// under WOW64; elsewhere it does nothing. Only ever around a single call: while redirection is
// off, loading a DLL (a delay-loaded function too) may load the 64-bit one and fail.
class RedirectionOff {
  public:
    explicit RedirectionOff(const NtCalls& nt)
        : nt_(nt), off_(nt.underWow64() && nt.disableRedirection(&old_)) {}
    ~RedirectionOff() {
        if (off_) nt_.revertRedirection(old_);
    }
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

  private:
    const NtCalls& nt_;
    PVOID old_ = nullptr;
    bool off_;
};

// NT values the platform uses (not all of them are in every SDK's headers).
namespace nt {

inline constexpr NTSTATUS kSuccess = 0;
inline constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
inline constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
inline constexpr NTSTATUS kInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
inline constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);
inline constexpr NTSTATUS kTooManyOpenedFiles = static_cast<NTSTATUS>(0xC000011F);
inline constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
inline constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
inline constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
inline constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002);
inline constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
inline constexpr NTSTATUS kNotSupported = static_cast<NTSTATUS>(0xC00000BB);

inline constexpr ULONG kFileOpen = 1;
inline constexpr ULONG kDirectoryFile = 0x00000001;
inline constexpr ULONG kSynchronousIoNonAlert = 0x00000020;
inline constexpr ULONG kOpenForBackupIntent = 0x00004000;
inline constexpr ULONG kOpenReparsePoint = 0x00200000;
inline constexpr ULONG kObjCaseInsensitive = 0x00000040;

inline constexpr auto kFileFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(2);
inline constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
inline constexpr auto kFileAttributeTagInformation = static_cast<FILE_INFORMATION_CLASS>(35);
inline constexpr auto kFileIdFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(38);

// FILE_FULL_DIR_INFORMATION: the same layout for 32 and 64 bits; the name follows at 68.
struct FullDirInformation {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
    LARGE_INTEGER endOfFile;
    LARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;  // in bytes
    ULONG eaSize;          // the reparse tag when FILE_ATTRIBUTE_REPARSE_POINT is set
};
inline constexpr std::size_t kFullDirNameOffset = 68;
static_assert(offsetof(FullDirInformation, eaSize) == 64);

// FILE_ID_FULL_DIR_INFORMATION: as above, then the file ID at 72 and the name at 80.
inline constexpr std::size_t kIdFullDirIdOffset = 72;
inline constexpr std::size_t kIdFullDirNameOffset = 80;

// NtQueryVolumeInformationFile's FileFsDeviceInformation: the device under a handle.
inline constexpr ULONG kFileFsDeviceInformation = 4;
struct DeviceInformation {
    ULONG deviceType;
    ULONG characteristics;
};
inline constexpr ULONG kDeviceNetworkFileSystem = 0x14;  // FILE_DEVICE_NETWORK_FILE_SYSTEM
inline constexpr ULONG kRemoteDevice = 0x10;             // FILE_REMOTE_DEVICE

struct AttributeTagInformation {
    ULONG fileAttributes;
    ULONG reparseTag;
};

}  // namespace nt

}  // namespace quarvex::win32
