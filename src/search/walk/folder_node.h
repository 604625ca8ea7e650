// One folder the walk knows: a small node of the tree it is walking, with its name inline. The
// walk (search/walk.h) and the open folders (search/open_folders.h) share it; walk.h says which
// thread may touch which field, and when.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "search/os/platform.h"
#include "search/walk/kept_listings.h"

namespace quarvex {

class FolderFiles;

// An open folder's handle with one owner, which closes it: no path can close it twice or forget
// it. A handle counted in a budget holds its place in the count from before it is opened (the
// place is taken first) until it is closed: the count moves with the handle.
class OwnedFolder {
  public:
    OwnedFolder() = default;
    OwnedFolder(Platform& platform, FolderHandle handle) : platform_(&platform), handle_(handle) {}
    // A place in `count` for a folder about to be opened; adopt() gives it the handle.
    OwnedFolder(Platform& platform, std::atomic<std::size_t>& count)
        : platform_(&platform), count_(&count) {
        ++count;
    }
    ~OwnedFolder() { reset(); }
    OwnedFolder(OwnedFolder&& other) noexcept { *this = std::move(other); }
    OwnedFolder& operator=(OwnedFolder&& other) noexcept {
        if (this != &other) {
            reset();
            platform_ = other.platform_;
            count_ = std::exchange(other.count_, nullptr);
            handle_ = std::exchange(other.handle_, kNoFolder);
        }
        return *this;
    }
    OwnedFolder(const OwnedFolder&) = delete;
    OwnedFolder& operator=(const OwnedFolder&) = delete;

    void adopt(FolderHandle handle) { handle_ = handle; }
    FolderHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != kNoFolder; }
    // Closes the handle, if any, and gives its place back.
    void reset() {
        if (handle_ != kNoFolder) platform_->closeFolder(std::exchange(handle_, kNoFolder));
        if (count_ != nullptr) std::exchange(count_, nullptr)->fetch_sub(1);
    }

  private:
    Platform* platform_ = nullptr;
    std::atomic<std::size_t>* count_ = nullptr;
    FolderHandle handle_ = kNoFolder;
};

// Where a folder is in the walk: Pending -> Claimed -> a final state, what became of it (the
// values of FolderOutcome), which never changes again: a thread that has seen a final state (an
// acquire load) may read what reading the folder filled in.
enum class FolderState : std::uint8_t {
    Listed,
    Unreadable,
    Link,
    OtherMount,
    Changed,
    NotNeeded,  // final: as FolderOutcome
    Pending,    // known from its parent's listing, not yet opened
    Claimed,    // a thread is opening and reading it
};
static_assert(static_cast<int>(FolderState::NotNeeded) ==
              static_cast<int>(FolderOutcome::NotNeeded));

constexpr bool isFinal(FolderState state) {
    return state < FolderState::Pending;
}
constexpr FolderOutcome outcomeOf(FolderState final) {
    return static_cast<FolderOutcome>(final);
}

inline constexpr std::uint32_t kNotKept = UINT32_MAX;

struct FolderNode {
    FolderNode* parent = nullptr;
    FolderNode* nextSibling = nullptr;
    // Its neighbours on the work list while Pending; once Listed, its subfolders (in listing
    // order, freed as consumed) and its matches (until the consumer moves on); once failed,
    // the error. Never two at once.
    union {
        struct {
            FolderNode* prev;
            FolderNode* next;
        } work;
        struct {
            FolderNode* firstChild;
            FolderFiles* files;
        } listed;
        int error;
    } links{};
    OwnedFolder handle;
    // What a source keeps of it, and the kept listing that stands for the disk's, if any.
    KeptFolder* kept = nullptr;
    const FolderListing* keptListing = nullptr;
    // Its file number when first opened (identified), or as its parent's listing gave it:
    // reopened, it must be the same (on the root's volume, the only one a walk enters).
    std::uint64_t file = 0;
    std::uint64_t watchKey = 0;  // a watch made before it was read from the disk
    std::uint32_t depth = 0;
    std::uint32_t entry = 0;             // its entry in its parent's listing
    std::uint32_t unopenedChildren = 0;  // the handle is kept while some are left
    std::uint32_t openIndex = kNotKept;  // its place among the open parents
    std::uint16_t pins = 0;              // threads opening something relative to the handle
    std::uint16_t nameLength = 0;
    std::atomic<FolderState> state{FolderState::Pending};
    bool onWorkList = false;
    bool identified = false;  // `file` holds its identity
    bool lost = false;        // could not be reached again: the rest of its subfolders are not
    bool whole = false;       // its kept listing and all below it stand for the disk's (Answer)
    // Known without opening it: on another mount, or nothing needed below it.
    FolderState known = FolderState::Pending;

    // The name follows the node in the same allocation.
    // Names this long or shorter get room for kSmallName bytes, so that a node's memory may be
    // used again for another (see Walk's spare nodes).
    static constexpr std::size_t kSmallName = 40;

    static FolderNode* make(FolderNode* parent, std::string_view name, void* memory = nullptr) {
        if (memory == nullptr)
            memory = ::operator new(sizeof(FolderNode) + std::max(name.size(), kSmallName));
        auto* node = new (memory) FolderNode;
        node->parent = parent;
        node->depth = parent != nullptr ? parent->depth + 1 : 0;
        node->nameLength = static_cast<std::uint16_t>(name.size());
        if (!name.empty()) std::memcpy(reinterpret_cast<char*>(node + 1), name.data(), name.size());
        return node;
    }
    static void destroy(FolderNode* node) {
        node->~FolderNode();
        ::operator delete(node);
    }
    std::string_view name() const { return {reinterpret_cast<const char*>(this + 1), nameLength}; }
    FolderState loadState() const { return state.load(std::memory_order_acquire); }
};

}  // namespace quarvex
