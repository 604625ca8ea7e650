#include "platform/posix/mount_table.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace quarvex::posix {

namespace {

// Undoes the octal escapes (\040 for a space) the kernel writes in mount table fields.
std::string unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const std::string_view digits = field.substr(i + 1, 3);
        if (field[i] == '\\' && digits.size() == 3 &&
            digits.find_first_not_of("01234567") == std::string_view::npos) {
            out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                            (digits[2] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

}  // namespace

std::vector<MountInfo> parseMountInfo(std::string_view text) {
    std::vector<MountInfo> mounts;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view rest = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::vector<std::string_view> fields;
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            fields.push_back(rest.substr(0, space));
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 3) continue;
        MountInfo mount{0,
                        std::string(fields[2]),
                        unescape(fields[3]),
                        unescape(fields[4]),
                        unescape(dash[1]),
                        unescape(dash[2])};
        std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), mount.id);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::vector<MountInfo> readMountInfo(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return parseMountInfo(text.view());
}

bool isWithin(std::string_view inner, std::string_view outer) {
    if (outer == "/") return true;
    return inner.starts_with(outer) && (inner.size() == outer.size() || inner[outer.size()] == '/');
}

}  // namespace quarvex::posix
