// One folder the walk knows: a small node of the tree it is walking, with its name inline. The
// walk (search/walk.h) and the open folders (search/open_folders.h) share it; walk.h says which
// thread may touch which field, and when.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "search/os/platform.h"

namespace quarvex {

class FolderFiles;

// An open folder's handle with one owner, which closes it: no path can close it twice or forget it.
class OwnedFolder {
  public:
    OwnedFolder() = default;
    OwnedFolder(Platform& platform, FolderHandle handle) : platform_(&platform), handle_(handle) {}
    ~OwnedFolder() { reset(); }
    OwnedFolder(OwnedFolder&& other) noexcept
        : platform_(other.platform_), handle_(std::exchange(other.handle_, kNoFolder)) {}
    OwnedFolder& operator=(OwnedFolder&& other) noexcept {
        if (this != &other) {
            reset();
            platform_ = other.platform_;
            handle_ = std::exchange(other.handle_, kNoFolder);
        }
        return *this;
    }
    OwnedFolder(const OwnedFolder&) = delete;
    OwnedFolder& operator=(const OwnedFolder&) = delete;

    FolderHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != kNoFolder; }
    void reset() {
        if (handle_ != kNoFolder) platform_->closeFolder(std::exchange(handle_, kNoFolder));
    }

  private:
    Platform* platform_ = nullptr;
    FolderHandle handle_ = kNoFolder;
};

// Where a folder is in the walk. Pending -> Claimed -> one of the final states, which never
// change again: a thread that has seen a final state (an acquire load) may read what the
// listing filled in.
enum class FolderState : std::uint8_t {
    Pending,     // known from its parent's listing, not yet opened
    Claimed,     // a thread is opening and listing it
    Listed,      // final: its matches and subfolders are known
    Unreadable,  // final: could not be opened or reached again
    Link,        // final: a link or no folder at all by the time it was opened: not entered
    OtherMount,  // final: on another mount than the root's: not entered
    Changed,     // final: a folder on its way down was not the one first seen: not entered
};

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
    // Its file number when first opened (identified), or as its parent's listing gave it:
    // reopened, it must be the same (on the root's volume, the only one a walk enters).
    std::uint64_t file = 0;
    std::uint32_t depth = 0;
    std::uint32_t unopenedChildren = 0;  // the handle is kept while some are left
    std::uint32_t openIndex = kNotKept;  // its place among the open parents
    std::uint16_t pins = 0;              // threads opening something relative to the handle
    std::uint16_t nameLength = 0;
    std::atomic<FolderState> state{FolderState::Pending};
    bool onWorkList = false;
    bool identified = false;  // `file` holds its identity
    bool lost = false;        // could not be reached again: the rest of its subfolders are not

    // The name follows the node in the same allocation.
    static FolderNode* make(FolderNode* parent, std::string_view name) {
        void* memory = ::operator new(sizeof(FolderNode) + name.size());
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
