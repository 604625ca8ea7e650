// The search's own window texts, used exactly as they stand.
#pragma once

namespace quarvex::texts {

inline constexpr char kProductCaption[] = "Quarvex";
inline constexpr char kBoxTitle[] = "ZorvikOrlune提示";
inline constexpr char kSearchingPrefix[] = "正在查找 ";
inline constexpr char kNothingFound[] = "搜索完成,未找到符合的文件";
inline constexpr char kFoundPrefix[] = "搜索完成,共查找到";
inline constexpr char kFoundSuffix[] = " 个文件";
inline constexpr char kTotalPrefix[] = "总占空间: ";
inline constexpr char kBytesSuffix[] = " Bytes";
inline constexpr char kDoubleClickHint[] = "双击列表指定项，可直接运行文件!";
// A search that ran out of memory stops as a stop ends it; its report follows.
inline constexpr char kOutOfMemory[] = "内存不足,搜索已停止";
// A pattern may not name a path: the box names exactly the characters that would.
inline constexpr char kPatternHasPathWithDrives[] = "文件名中不能包含路径符号 \\ / :";
inline constexpr char kPatternHasPathSlash[] = "文件名中不能包含路径符号 /";
inline constexpr char kLineSeparator[] = " ----- ";
// Why a folder was not read when the system gave no error: it, or a folder on its way down, was
// replaced while the search ran (said by the console, in English as the system's errors are).
inline constexpr char kFolderChanged[] = "it was replaced during the search";

}  // namespace quarvex::texts
