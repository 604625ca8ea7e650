#include "tests/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/openat2.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "search/text/text_util.h"

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

FakePlatform::~FakePlatform() {
    check(watches_.empty(), "a tree watch outlived its platform");
}

class FakePlatform::Watch : public TreeWatch {
  public:
    Watch(FakePlatform& platform, std::string root) : platform_(platform), root_(std::move(root)) {}
    ~Watch() override {
        std::lock_guard lock(platform_.mutex_);
        platform_.watchesNow -= keys_.size();
        std::erase(platform_.watches_, this);
    }
    bool coversTree() const override { return platform_.watchCoversTree; }
    bool watch(FolderHandle folder, std::string_view relativePath, std::uint64_t key) override {
        if (platform_.onCall) platform_.onCall("watch", std::string(relativePath));
        // One watch for the whole tree knows its folders by their paths, as Windows tells them.
        const int byPath =
            platform_.watchCoversTree ? platform_.folderAt(root_ + std::string(relativePath)) : -1;
        std::lock_guard lock(platform_.mutex_);
        if (!platform_.watchCoversTree && platform_.watchesNow >= platform_.watchLimit)
            return false;
        const int watched =
            platform_.watchCoversTree ? byPath : platform_.handles_.at(folder).folder;
        if (!platform_.watchCoversTree &&
            platform_.refusedWatches.contains(
                platform_.folders_[static_cast<std::size_t>(watched)].name))
            return false;
        keys_[key] = watched;
        ++platform_.watchesNow;
        ++platform_.watchesMade;
        return true;
    }
    void unwatch(std::uint64_t key) override {
        std::lock_guard lock(platform_.mutex_);
        platform_.watchesNow -= keys_.erase(key);
    }
    bool drain(ChangeSink& sink) override {
        std::vector<std::pair<std::uint64_t, bool>> changes;
        bool lost;
        {
            std::lock_guard lock(platform_.mutex_);
            changes.swap(queued_);
            lost = std::exchange(lost_, false);
        }
        if (lost) return false;
        for (const auto& [key, itself] : changes) {
            if (itself)
                sink.folderChanged(key);
            else
                sink.entriesChanged(key);
        }
        return true;
    }
    // The platform's lock held.
    void notify(int folder, bool itself) {
        for (const auto& [key, watched] : keys_)
            if (watched == folder) queued_.emplace_back(key, itself);
    }
    void lose() { lost_ = true; }

  private:
    FakePlatform& platform_;
    const std::string root_;
    std::map<std::uint64_t, int> keys_;
    std::vector<std::pair<std::uint64_t, bool>> queued_;
    bool lost_ = false;
};

std::unique_ptr<TreeWatch> FakePlatform::watchTree(FolderHandle, const std::string& rootPath) {
    if (!watchable) return nullptr;
    auto watch = std::make_unique<Watch>(*this, rootPath);
    std::lock_guard lock(mutex_);
    watches_.push_back(watch.get());
    return watch;
}

void FakePlatform::notify(int folder, bool itself) {
    check(folder >= 0, "no such folder to notify");
    std::lock_guard lock(mutex_);
    for (Watch* w : watches_) w->notify(folder, itself);
}

void FakePlatform::notifyEntries(const std::string& path) {
    notify(folderAt(path), false);
}

void FakePlatform::notifyFolder(const std::string& path) {
    notify(folderAt(path), true);
}

void FakePlatform::notifyLost() {
    std::lock_guard lock(mutex_);
    for (Watch* w : watches_) w->lose();
}

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
        folders_.push_back({{}, folders_[static_cast<std::size_t>(at)].mount, false, name, 0});
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
    folders_.push_back({{}, folders_[static_cast<std::size_t>(parent)].mount, false, name, 0});
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

bool FakePlatform::isOpen(const std::string& path) const {
    const int at = folderAt(path);
    std::lock_guard lock(mutex_);
    return std::any_of(handles_.begin(), handles_.end(),
                       [at](const auto& h) { return h.second.folder == at; });
}

void FakePlatform::setListError(const std::string& folder, int error) {
    const int at = addFolder(folder);
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(at)].listError = error;
}

void FakePlatform::setUnreadable(const std::string& folder) {
    const int at = addFolder(folder);
    std::lock_guard lock(mutex_);
    folders_[static_cast<std::size_t>(at)].unreadable = true;
}

OpenResult FakePlatform::openFolder(int folder) {
    OpenResult result;
    const Folder& f = folders_[static_cast<std::size_t>(folder)];
    if (f.unreadable) {
        result.error = kAccessDenied;
        return result;
    }
    if (openNow >= handleLimit) {
        ++outOfHandles;
        result.status = OpenStatus::OutOfHandles;
        result.error = kTooManyOpenFiles;
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
    if (onCall) onCall("open", std::string(name));
    std::lock_guard lock(mutex_);
    if (++childOpens > openLimit) return {};
    Folder& folder = folders_[static_cast<std::size_t>(handles_.at(parent).folder)];
    const auto& entries = folder.entries;
    // From where the last lookup ended, so that a folder of 40,000 costs no 40,000² compares.
    const auto same = [&](const Entry& x) { return x.name == name; };
    const auto from =
        entries.begin() + static_cast<std::ptrdiff_t>(std::min(folder.nextLookup, entries.size()));
    auto e = std::find_if(from, entries.end(), same);
    if (e == entries.end()) {
        e = std::find_if(entries.begin(), from, same);
        if (e == from) return {};
    }
    folder.nextLookup = static_cast<std::size_t>(e - entries.begin()) + 1;
    const auto parentMount = folder.mount;
    if (e->folder < 0) {
        OpenResult result;
        result.status = OpenStatus::NotAFolder;
        return result;
    }
    if (lazyIdentity && folders_[static_cast<std::size_t>(e->folder)].mount != parentMount) {
        OpenResult result;
        result.status = OpenStatus::OtherMount;
        return result;
    }
    OpenResult result = openFolder(e->folder);
    if (lazyIdentity && result.status == OpenStatus::Opened) {
        result.identity = {};
        result.identified = false;
    }
    return result;
}

bool FakePlatform::identify(FolderHandle folder, FolderIdentity& identity) {
    std::lock_guard lock(mutex_);
    ++identifies;
    const int at = handles_.at(folder).folder;
    identity = {1, static_cast<std::uint64_t>(at), folders_[static_cast<std::size_t>(at)].mount};
    return true;
}

void FakePlatform::closeFolder(FolderHandle folder) {
    std::lock_guard lock(mutex_);
    check(handles_.erase(folder) == 1, "a handle closed twice or never opened");
    --openNow;
}

ListStatus FakePlatform::listFolder(FolderHandle folder, Listing& out) {
    if (onCall) {
        std::string name;
        {
            std::lock_guard lock(mutex_);
            name = folders_[static_cast<std::size_t>(handles_.at(folder).folder)].name;
        }
        onCall("list", name);
    }
    std::lock_guard lock(mutex_);
    ++lists;
    clock += microsecondsPerList;
    out.clear();
    Open& open = handles_.at(folder);
    const Folder& listed = folders_[static_cast<std::size_t>(open.folder)];
    if (listed.listError != 0 && open.next > 0) {
        out.setError(listed.listError);
        return ListStatus::Failed;
    }
    const auto& entries = listed.entries;
    for (std::size_t n = 0; n < batch && open.next < entries.size(); ++n) {
        const Entry& e = entries[open.next++];
        const std::uint32_t attributes = typesInListing ? e.attributes : kAttrTypeUnknown;
        ListedEntry& added = sizesInListing && typesInListing
                                 ? out.add(e.name, attributes, e.reparseTag, e.size)
                                 : out.add(e.name, attributes, typesInListing ? e.reparseTag : 0);
        // As Linux's d_ino: the folder it leads to, unverified, or the file's number.
        added.file = e.folder >= 0 ? static_cast<std::uint64_t>(e.folder) : e.file;
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
    entry.manyNames = e->manyNames;
    return true;
}

TempTree::TempTree(const std::string& base) {
    std::string pattern = base + "/quarvex-test-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp in " + base);
    root_ = pattern;
}

TempTree::~TempTree() {
    removeTree(root_);
}

namespace {

// Unlinks what in an open folder is no folder, and returns the names of its folders.
std::vector<std::string> emptyOfFiles(int fd) {
    std::vector<std::string> folders;
    const int listing = dup(fd);
    DIR* d = fdopendir(listing);
    if (d == nullptr) {
        close(listing);
        return folders;
    }
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            folders.push_back(name);
        else
            unlinkat(fd, name.c_str(), 0);
    }
    closedir(d);
    return folders;
}

int openFolderAt(int at, const char* name) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(at, name, kFlags);
    if (fd < 0 && errno == EACCES && fchmodat(at, name, 0700, 0) == 0)  // made unreadable
        fd = openat(at, name, kFlags);
    return fd;
}

}  // namespace

// Down one name at a time and back up through "..", so that one descriptor is open at any depth.
void removeTree(const std::string& path) {
    chmod(path.c_str(), 0700);
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        unlink(path.c_str());
        return;
    }
    struct Level {
        std::string name;
        std::vector<std::string> folders;
    };
    std::vector<Level> levels;
    levels.push_back({"", emptyOfFiles(fd)});
    while (fd >= 0) {
        Level& top = levels.back();
        if (!top.folders.empty()) {
            const std::string name = top.folders.back();
            top.folders.pop_back();
            const int child = openFolderAt(fd, name.c_str());
            if (child < 0) continue;
            close(fd);
            fd = child;
            levels.push_back({name, emptyOfFiles(fd)});
            continue;
        }
        const std::string name = top.name;
        levels.pop_back();
        if (levels.empty()) break;
        const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = parent;
        if (fd >= 0) unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    }
    if (fd >= 0) close(fd);
    rmdir(path.c_str());
}

std::vector<std::string> inChildProcess(const std::function<std::vector<std::string>()>& body) {
    int out[2];
    check(pipe(out) == 0, "pipe");
    const pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        close(out[0]);
        std::string text;
        for (const std::string& line : body()) text += line + '\n';
        const bool written = write(out[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(written ? 0 : 3);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::optional<std::vector<std::string>> inMountNamespace(
    const std::function<std::vector<std::string>()>& body, std::string& why) {
    if (getuid() != 0) {
        why = "mount tests need root for unshare -m";
        return std::nullopt;
    }
    const std::string kNoNamespace = "\x01no mount namespace";  // never a line of a body
    std::vector<std::string> lines = inChildProcess([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            return std::vector<std::string>{kNoNamespace};
        return body();
    });
    if (lines == std::vector<std::string>{kNoNamespace}) {
        why = "unshare -m or mounting is not allowed here";
        return std::nullopt;
    }
    return lines;
}

std::string TempTree::chain(const std::string& relative, int depth, const std::string& name,
                            const std::string& file, std::uint64_t size) const {
    if (!relative.empty()) dir(relative);
    int fd = open(path(relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(fd >= 0, "open " + relative);
    std::string deepest = relative.empty() || relative.back() == '/' ? relative : relative + "/";
    for (int level = 0; level < depth; ++level) {
        mkdirat(fd, name.c_str(), 0755);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        check(next >= 0, "chain level " + std::to_string(level));
        fd = next;
        deepest += name + "/";
    }
    if (!file.empty()) {
        const int f = openat(fd, file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        const bool made = f >= 0 && ftruncate(f, static_cast<off_t>(size)) == 0;
        if (f >= 0) close(f);
        check(made, "chain file");
    }
    close(fd);
    return deepest;
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

bool openat2Allowed() {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    const long fd = syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
    if (fd < 0) return false;
    close(static_cast<int>(fd));
    return true;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace quarvex::test
