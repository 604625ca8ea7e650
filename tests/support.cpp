#include "tests/support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "search/text_util.h"

namespace quarvex::test {

namespace {

// ASCII wildcards without case, with the ".*" tail rule: enough for the fake drives.
bool globMatch(std::string_view name, std::string_view pattern) {
    if (pattern.empty()) return name.empty();
    if (pattern[0] == '*')
        return globMatch(name, pattern.substr(1)) ||
               (!name.empty() && globMatch(name.substr(1), pattern));
    if (name.empty()) return false;
    if (pattern[0] != '?' && std::toupper(static_cast<unsigned char>(pattern[0])) !=
                                 std::toupper(static_cast<unsigned char>(name[0])))
        return false;
    return globMatch(name.substr(1), pattern.substr(1));
}

bool fakeMatch(std::string_view name, std::string_view pattern) {
    if (globMatch(name, pattern)) return true;
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
           globMatch(name, pattern.substr(0, pattern.size() - 2));
}

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test fixture: " + what);
}

}  // namespace

bool FakePlatform::advance(Cursor& c, FindRecord& data) {
    while (c.next < c.entries->size()) {
        const auto& [record, size] = (*c.entries)[c.next++];
        if (fakeMatch(record.cFileName, c.pattern)) {
            data = record;
            c.size = size;
            return true;
        }
    }
    return false;
}

FindHandle FakePlatform::findFirst(const std::string& pathPattern, FindRecord& data) {
    enumerated.push_back(pathPattern);
    const std::size_t cut = pathPattern.rfind('\\') + 1;
    // Windows finds folders whatever the case of their names.
    const auto it = std::find_if(tree.begin(), tree.end(), [&](const auto& entry) {
        return equalsIgnoringAsciiCase(entry.first, pathPattern.substr(0, cut));
    });
    if (it == tree.end()) return kInvalidFindHandle;
    cursors_.push_back({&it->second, pathPattern.substr(cut), 0, 0});
    if (!advance(cursors_.back(), data)) return kInvalidFindHandle;
    ++opens;
    return static_cast<FindHandle>(cursors_.size() - 1);
}

bool FakePlatform::findNext(FindHandle handle, FindRecord& data) {
    return advance(cursors_.at(static_cast<std::size_t>(handle)), data);
}

std::optional<std::uint64_t> FakePlatform::fileLength(FindHandle handle) {
    return cursors_.at(static_cast<std::size_t>(handle)).size;
}

TempTree::TempTree() {
    char pattern[] = "/tmp/quarvex-test-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    root_ = pattern;
}

TempTree::~TempTree() {
    // Folders a test made unreadable must be opened up again before they can be removed.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             root_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    chmod(root_.c_str(), 0755);
    std::filesystem::remove_all(root_, ec);
}

void TempTree::dir(const std::string& relative) const {
    std::error_code ec;
    std::filesystem::create_directories(path(relative), ec);
    check(!ec, "mkdir " + relative);
}

void TempTree::file(const std::string& relative, std::uint64_t size) const {
    const std::string full = path(relative);
    const auto slash = full.rfind('/');
    std::filesystem::create_directories(full.substr(0, slash));
    const int fd = ::open(full.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    check(fd >= 0, "create " + relative);
    const bool sized = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    check(sized, "truncate " + relative);
}

void TempTree::link(const std::string& target, const std::string& relative) const {
    check(symlink(target.c_str(), path(relative).c_str()) == 0, "symlink " + relative);
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace quarvex::test
