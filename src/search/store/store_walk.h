// A walk over what the listing store keeps of a root: in pre-order, as a fresh walk goes, each
// trusted folder answered from memory, every other one opened and listed again (watched first),
// its whole listing kept in place of the old. One thread: memory answers faster than threads
// hand folders over, and the folders listed again are the few that changed.
//
// It also serves to make a tree trusted (Verify): nothing to show, every folder not trusted
// listed again under a watch, every size read; in the background after a first search, and
// before a search answers from the tree, so that what it finds (a file with another name) is
// known before anything is answered.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "search/walk/folder_files.h"
#include "search/walk/folder_node.h"
#include "search/os/listing.h"
#include "search/store/listing_store.h"
#include "search/text/name_pattern.h"
#include "search/walk/open_folders.h"
#include "search/os/platform.h"

namespace quarvex {

class StoreWalk : public Walker {
  public:
    // Search: answers. Refresh: before a search answers, lists again whatever is not trusted and
    // tries again what could not be entered. Verify: in the background, lists again what a watch
    // can make trusted, and leaves the rest to searches.
    enum class Mode { Search, Refresh, Verify };

    // The store's lock is held for the walk's whole life. `interrupt`, when set, ends it.
    StoreWalk(Platform& platform, const NamePattern& pattern, ListingStore& store, StoredTree& tree,
              Mode mode, const std::atomic<bool>* interrupt = nullptr);
    ~StoreWalk() override;
    StoreWalk(const StoreWalk&) = delete;
    StoreWalk& operator=(const StoreWalk&) = delete;

    bool advance(const WaitHook& wait) override;
    const std::string& path() const override { return path_; }
    std::size_t keptLength() const override { return kept_; }
    std::optional<FolderResult> result(const WaitHook& wait) override;

  private:
    struct Frame {
        FolderNode* node;
        StoredFolder* folder;  // its listing, once known; null when it was not entered
        std::size_t nextChild = 0;
    };

    bool usable(const StoredFolder& kept) const;
    void openTop();
    void visit(StoredChild& slot);
    void answer(Frame& frame);
    bool listAgain(Frame& frame, StoredFolder*& slot);
    void noteNewNames(const StoredFolder& fresh, const StoredFolder* old);
    void leave();
    bool interrupted() const;
    std::string_view relativePath() const;

    Platform& platform_;
    const NamePattern& pattern_;
    ListingStore& store_;
    StoredTree& tree_;
    const Mode mode_;
    const std::atomic<bool>* interrupt_;
    std::atomic<bool> stopping_{false};
    OpenFolders folders_;
    std::vector<Frame> frames_;
    std::string path_;
    std::size_t kept_ = 0;
    bool started_ = false;
    bool finished_ = false;
    FolderFiles files_;
    FolderResult result_;
    Listing listing_;
    const WaitHook* pump_ = nullptr;
};

}  // namespace quarvex
