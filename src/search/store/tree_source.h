// One walk's view of a kept tree: as a source, it answers each folder whose kept listing it
// vouches for, so that the walk reads from the disk only the rest; as a recorder, it keeps what
// the walk read from the disk, in place of what was kept. A search uses what watches vouch for;
// a background walk (a pass after a search, a refresh before one) reads again, under watches
// made first, what they do not, and passes by what needs nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "search/store/stored_trees.h"
#include "search/walk/kept_listings.h"

namespace quarvex {

class TreeSource final : public ListingSource, public ListingRecorder {
  public:
    enum class Walking : std::uint8_t { Search, Pass, Sizes, Refresh };

    // `sizesAtUse`: a search where some folder of the tree is blind, so that a file kept with
    // one name may have gained another unseen, or where its sizes are suspect: every kept size
    // is read again.
    TreeSource(StoredTrees& trees, StoredTree& tree, Walking walking, bool sizesAtUse = false);
    // Gives back the watches made for folders that were never kept.
    ~TreeSource();
    TreeSource(const TreeSource&) = delete;
    TreeSource& operator=(const TreeSource&) = delete;

    Answer root(const FolderIdentity& opened) override;
    Answer child(KeptFolder& parent, std::uint32_t index, std::string_view name,
                 std::uint64_t file) override;
    bool sizesAtUse() const override { return sizesAtUse_; }
    std::uint64_t beforeReading(FolderHandle folder) override;
    void record(Folder& folder) override;

    // The root was not the folder kept, or could not be kept: the tree is to go.
    bool lost() const { return lost_; }
    // What the tree would have taken whole, when it was not kept for passing the bound, or when
    // a search of a tree only the pass keeps counted it; 0 else.
    std::size_t neededBytes() const { return neededBytes_; }

  private:
    bool background() const { return walking_ != Walking::Search; }
    BackgroundWork work() const {
        return walking_ == Walking::Pass    ? BackgroundWork::Pass
               : walking_ == Walking::Sizes ? BackgroundWork::Sizes
                                            : BackgroundWork::Refresh;
    }
    bool vouches(const StoredFolder& folder) const;
    Answer answer(StoredFolder& folder);
    StoredFolder* keep(StoredFolder*& slot, StoredChild* child, StoredFolder* parent,
                       Folder& folder);
    StoredFolder* keepRead(StoredFolder*& slot, StoredFolder* parent, Folder& folder);

    StoredTrees& trees_;
    StoredTree& tree_;
    const Walking walking_;
    const bool sizesAtUse_;
    const bool countOnly_;  // a search that keeps nothing of a tree the pass is to keep
    bool lost_ = false;
    std::size_t neededBytes_ = 0;
    std::atomic<bool> answered_{false};  // a folder of the walk was answered from the tree
    std::vector<StoredFolder*> levels_;  // the consumer's way down: what is kept at each depth
    std::mutex keysMutex_;
    std::unordered_set<std::uint64_t> unkeptKeys_;  // watches made, not yet kept with a folder
};

}  // namespace quarvex
