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

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test fixture: " + what);
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

// "C:\a\b" -> root "C:\" and the names "a", "b".
std::pair<std::string, std::vector<std::string>> splitPath(const std::string& path) {
    const std::size_t cut = path.find('\\');
    check(cut != std::string::npos, "no root in " + path);
    std::pair<std::string, std::vector<std::string>> parts{path.substr(0, cut + 1), {}};
    for (std::size_t start = cut + 1; start < path.size();) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.second.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

FakePlatform::FakePlatform() = default;

int FakePlatform::folderAt(const std::string& path) const {
    const auto [root, names] = splitPath(path);
    const auto it = roots_.find(upper(root));
    if (it == roots_.end()) return -1;
    int at = it->second;
    for (const std::string& name : names) {
        const auto& entries = folders_[static_cast<std::size_t>(at)].entries;
        const auto e = std::find_if(entries.begin(), entries.end(),
                                    [&](const Entry& x) { return x.name == name; });
        if (e == entries.end() || e->folder < 0) return -1;
        at = e->folder;
    }
    return at;
}

int FakePlatform::addFolder(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto [root, names] = splitPath(path);
    auto it = roots_.find(upper(root));
    if (it == roots_.end()) {
        folders_.emplace_back();
        it = roots_.emplace(upper(root), static_cast<int>(folders_.size() - 1)).first;
    }
    int at = it->second;
    for (const std::string& name : names) {
        auto& entries = folders_[static_cast<std::size_t>(at)].entries;
        const auto e = std::find_if(entries.begin(), entries.end(),
                                    [&](const Entry& x) { return x.name == name; });
        if (e != entries.end()) {
            check(e->folder >= 0, name + " is no folder");
            at = e->folder;
            continue;
        }
        folders_.push_back({{}, folders_[static_cast<std::size_t>(at)].mount, false});
        const int made = static_cast<int>(folders_.size() - 1);
        folders_[static_cast<std::size_t>(at)].entries.push_back(
            {name, kAttrDirectory, 0, 0, made});
        at = made;
    }
    return at;
}

void FakePlatform::addEntry(const std::string& folder, Entry entry) {
    const int at = addFolder(folder);
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(at)].entries.push_back(std::move(entry));
}

int FakePlatform::addFolderIn(int parent, const std::string& name) {
    std::lock_guard lock(mutex_);
    folders_.push_back({{}, folders_[static_cast<std::size_t>(parent)].mount, false});
    const int made = static_cast<int>(folders_.size() - 1);
    folders_[static_cast<std::size_t>(parent)].entries.push_back(
        {name, kAttrDirectory, 0, 0, made});
    return made;
}

void FakePlatform::addFileIn(int folder, const std::string& name, std::uint64_t size) {
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(folder)].entries.push_back({name, kAttrArchive, 0, size, -1});
}

void FakePlatform::addFile(const std::string& path, std::uint64_t size) {
    const std::size_t cut = path.rfind('\\');
    addEntry(path.substr(0, cut + 1), {path.substr(cut + 1), kAttrArchive, 0, size, -1});
}

void FakePlatform::addFolderLink(const std::string& path, const std::string& target,
                                 std::uint32_t tag) {
    const int to = addFolder(target);
    const std::size_t cut = path.rfind('\\');
    addEntry(path.substr(0, cut + 1),
             {path.substr(cut + 1), kAttrDirectory | kAttrReparsePoint, tag, 0, to});
}

void FakePlatform::replaceFolder(const std::string& path) {
    const std::size_t cut = path.rfind('\\');
    const int parent = folderAt(path.substr(0, cut + 1));
    std::lock_guard lock(mutex_);
    check(parent >= 0, "no folder above " + path);
    for (Entry& e : folders_[static_cast<std::size_t>(parent)].entries) {
        if (e.name != path.substr(cut + 1)) continue;
        folders_.push_back(folders_[static_cast<std::size_t>(e.folder)]);  // same content, new id
        e.folder = static_cast<int>(folders_.size() - 1);
        return;
    }
    check(false, "no entry " + path);
}

void FakePlatform::removeEntry(const std::string& path) {
    const std::size_t cut = path.rfind('\\');
    const int parent = folderAt(path.substr(0, cut + 1));
    std::lock_guard lock(mutex_);
    check(parent >= 0, "no folder above " + path);
    auto& entries = folders_[static_cast<std::size_t>(parent)].entries;
    std::erase_if(entries, [&](const Entry& e) { return e.name == path.substr(cut + 1); });
}

void FakePlatform::setMount(const std::string& folder, std::uint64_t mount) {
    const int at = addFolder(folder);
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(at)].mount = mount;
}

void FakePlatform::setUnreadable(const std::string& folder) {
    const int at = addFolder(folder);
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(at)].unreadable = true;
}

OpenResult FakePlatform::openFolder(int folder) {
    OpenResult result;
    const Folder& f = folders_[static_cast<std::size_t>(folder)];
    if (f.unreadable) return result;
    if (openNow >= handleLimit) {
        ++outOfHandles;
        result.status = OpenStatus::OutOfHandles;
        return result;
    }
    result.status = OpenStatus::Opened;
    result.handle = nextHandle_++;
    result.identity = {1, static_cast<std::uint64_t>(folder), f.mount};
    handles_[result.handle] = {folder};
    mostOpen = std::max(mostOpen, ++openNow);
    return result;
}

OpenResult FakePlatform::openRoot(const std::string& path) {
    std::lock_guard lock(mutex_);
    rootsOpened.push_back(path);
    const int at = folderAt(path);
    if (at < 0) return {};
    return openFolder(at);
}

// Follows links, as a careless walk would: only the walk's own rules keep it out of them.
OpenResult FakePlatform::openChild(FolderHandle parent, std::string_view name) {
    std::lock_guard lock(mutex_);
    ++childOpens;
    const auto& entries = folders_[static_cast<std::size_t>(handles_.at(parent).folder)].entries;
    const auto e = std::find_if(entries.begin(), entries.end(),
                                [&](const Entry& x) { return x.name == name; });
    if (e == entries.end()) return {};
    if (e->folder < 0) {
        OpenResult result;
        result.status = OpenStatus::NotAFolder;
        return result;
    }
    return openFolder(e->folder);
}

void FakePlatform::closeFolder(FolderHandle folder) {
    std::lock_guard lock(mutex_);
    check(handles_.erase(folder) == 1, "a handle closed twice or never opened");
    --openNow;
}

ListStatus FakePlatform::listFolder(FolderHandle folder, Listing& out) {
    std::lock_guard lock(mutex_);
    ++lists;
    out.clear();
    Open& open = handles_.at(folder);
    const auto& entries = folders_[static_cast<std::size_t>(open.folder)].entries;
    for (std::size_t n = 0; n < batch && open.next < entries.size(); ++n) {
        const Entry& e = entries[open.next++];
        const std::uint32_t attributes = typesInListing ? e.attributes : kAttrTypeUnknown;
        if (sizesInListing && typesInListing)
            out.add(e.name, attributes, e.reparseTag, e.size);
        else
            out.add(e.name, attributes, typesInListing ? e.reparseTag : 0);
    }
    return open.next < entries.size() ? ListStatus::More : ListStatus::End;
}

bool FakePlatform::describe(FolderHandle folder, ListedEntry& entry, std::string_view name) {
    std::lock_guard lock(mutex_);
    ++describes;
    const auto& entries = folders_[static_cast<std::size_t>(handles_.at(folder).folder)].entries;
    const auto e = std::find_if(entries.begin(), entries.end(),
                                [&](const Entry& x) { return x.name == name; });
    if (e == entries.end()) return false;
    entry.attributes = e->attributes;
    entry.reparseTag = e->reparseTag;
    entry.size = e->size;
    entry.sizeKnown = true;
    return true;
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
