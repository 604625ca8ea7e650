// The mount table of this process (/proc/self/mountinfo), as the drive selector and the tree
// watch read it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex::posix {

// One line of the table.
struct MountInfo {
    std::uint64_t id = 0;  // the mount ID, as statx's STATX_MNT_ID gives it
    std::string device;    // major:minor
    std::string root;      // the folder of the file system that is mounted
    std::string point;
    std::string type;
    std::string source;
};

std::vector<MountInfo> parseMountInfo(std::string_view text);
std::vector<MountInfo> readMountInfo(const std::string& path);

// Whether the path `inner` is `outer` or lies below it, name by name.
bool isWithin(std::string_view inner, std::string_view outer);

}  // namespace quarvex::posix
