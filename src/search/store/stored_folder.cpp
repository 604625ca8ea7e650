#include "search/store/stored_folder.h"

namespace quarvex {

namespace {

// Subfolders looked for one by one; past this many, through an index by name.
constexpr std::size_t kFewChildren = 16;

bool sameFile(std::uint64_t a, std::uint64_t b) {
    return a == 0 || b == 0 || a == b;
}

}  // namespace

StoredFolder::StoredFolder(FolderListing&& read) : listing(std::move(read)) {
    listing.shrink();
    for (std::uint32_t i = 0; i < listing.size(); ++i)
        if ((listing[i].flags & kEntrySubfolder) != 0)
            children.push_back({listing[i].file, nullptr, i});
    children.shrink_to_fit();
}

StoredFolder::~StoredFolder() = default;

std::size_t StoredFolder::bytes() const {
    return sizeof(StoredFolder) + listing.bytes() - sizeof(FolderListing) +
           children.capacity() * sizeof(StoredChild);
}

StoredChild* StoredFolder::slotFor(std::uint32_t index, std::string_view name,
                                   std::uint64_t listed) {
    const auto matches = [&](const StoredChild& c) {
        return this->name(c) == name && sameFile(c.file, listed);
    };
    if (index < children.size() && matches(children[index])) return &children[index];
    if (children.size() <= kFewChildren) {
        for (StoredChild& c : children)
            if (matches(c)) return &c;
        return nullptr;
    }
    if (byName_ == nullptr) {
        byName_ = std::make_unique<std::unordered_map<std::string_view, std::uint32_t>>();
        byName_->reserve(children.size());
        for (std::uint32_t i = 0; i < children.size(); ++i)
            byName_->emplace(this->name(children[i]), i);
    }
    const auto it = byName_->find(name);
    if (it == byName_->end() || !matches(children[it->second])) return nullptr;
    return &children[it->second];
}

}  // namespace quarvex
