// The open folders on their own, over the fake platform: the budget, reopening by identity,
// running out of handles, and a reopening that ends after the last subfolder of its anchor.
#include "search/walk/open_folders.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support.h"

namespace quarvex::test {
namespace {

using Outcome = OpenFolders::Outcome;

// Nodes as the walk would make them, freed (and their handles closed) at the end.
class Nodes {
  public:
    explicit Nodes(OpenFolders& folders) : folders_(folders) {}
    ~Nodes() {
        for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) {
            folders_.forget(**it);
            FolderNode::destroy(*it);
        }
    }
    FolderNode* make(FolderNode* parent, const std::string& name) {
        return nodes_.emplace_back(FolderNode::make(parent, name));
    }

  private:
    OpenFolders& folders_;
    std::vector<FolderNode*> nodes_;
};

// C:\A\B\C, each with the next level and a side folder "s".
struct Chain {
    explicit Chain(FakePlatform& platform, std::size_t budget, int tries = 2000)
        : folders(platform, tries), nodes(folders) {
        for (const char* path : {"C:\\A\\B\\C\\s", "C:\\A\\B\\s", "C:\\A\\s"})
            platform.addFolder(path);
        root = nodes.make(nullptr, "");
        EXPECT_EQ(folders.openRoot(*root, "C:\\", budget).outcome, Outcome::Opened);
    }
    // Opens `name` below `parent` and lists it as holding `subfolders`.
    FolderNode* openListed(FolderNode* parent, const std::string& name, std::uint32_t subfolders) {
        FolderNode* node = nodes.make(parent, name);
        EXPECT_EQ(folders.open(*node, stopping).outcome, Outcome::Opened) << name;
        folders.listed(*node, subfolders);
        return node;
    }
    Outcome open(FolderNode* parent, const std::string& name) {
        return folders.open(*nodes.make(parent, name), stopping).outcome;
    }
    OpenFolders folders;
    Nodes nodes;
    std::atomic<bool> stopping{false};
    FolderNode* root = nullptr;
};

class OpeningFolders : public ::testing::TestWithParam<bool> {
  protected:
    OpeningFolders() { platform.lazyIdentity = GetParam(); }  // as Linux's openat2 opens
    FakePlatform platform;
};

TEST_P(OpeningFolders, KeepsParentsForTheirSubfoldersAndClosesTheShallowestBeyondTheBudget) {
    Chain chain(platform, 3);
    FolderNode* a = chain.openListed(chain.root, "A", 2);
    FolderNode* b = chain.openListed(a, "B", 2);
    chain.openListed(b, "C", 2);  // the fourth handle: A, needed last, makes room
    EXPECT_FALSE(platform.isOpen("C:\\A"));
    EXPECT_TRUE(platform.isOpen("C:\\A\\B"));
    EXPECT_EQ(chain.folders.openCount(), 3u);
    EXPECT_EQ(platform.openNow, 3u);

    // A is reopened from the root for its side folder, and closed again once that is open.
    const std::size_t opens = platform.childOpens;
    EXPECT_EQ(chain.open(a, "s"), Outcome::Opened);
    EXPECT_EQ(platform.childOpens, opens + 2);
    EXPECT_FALSE(platform.isOpen("C:\\A"));
    EXPECT_EQ(platform.openNow, chain.folders.openCount());
    // A folder whose last subfolder is open needs its handle no more.
    EXPECT_EQ(chain.open(b, "s"), Outcome::Opened);
    EXPECT_FALSE(platform.isOpen("C:\\A\\B"));
    EXPECT_EQ(platform.openNow, chain.folders.openCount());
}

TEST_P(OpeningFolders, ReachesNothingBelowAFolderThatIsNoLongerTheOneFirstSeen) {
    Chain chain(platform, 3);
    FolderNode* a = chain.openListed(chain.root, "A", 3);
    FolderNode* b = chain.openListed(a, "B", 2);
    chain.openListed(b, "C", 2);
    platform.addFolder("C:\\A\\t");
    platform.replaceFolder("C:\\A");  // same names, another folder
    EXPECT_EQ(chain.open(a, "s"), Outcome::Changed);
    // Given up for good: no more tries to reach it.
    const std::size_t opens = platform.childOpens;
    EXPECT_EQ(chain.open(a, "t"), Outcome::Changed);
    EXPECT_EQ(platform.childOpens, opens);
    EXPECT_EQ(platform.openNow, chain.folders.openCount());
}

TEST_P(OpeningFolders, OutOfHandlesClosesKeptParentsAndGivesUpOnlyWhenNoneAreLeft) {
    Chain chain(platform, 100, 3);
    platform.handleLimit = 3;  // far below what the budget promised
    FolderNode* a = chain.openListed(chain.root, "A", 2);
    FolderNode* b = chain.openListed(a, "B", 2);
    FolderNode* c = chain.openListed(b, "C", 2);
    EXPECT_GT(platform.outOfHandles, 0u);
    EXPECT_LT(chain.folders.budget(), 100u);
    EXPECT_LE(platform.openNow, 3u);
    // Nothing left to close but the root and C, which its subfolder is opened from.
    platform.handleLimit = 1;
    EXPECT_EQ(chain.folders.open(*chain.nodes.make(c, "s"), chain.stopping).error,
              FakePlatform::kTooManyOpenFiles);
    EXPECT_EQ(platform.openNow, chain.folders.openCount());
}

INSTANTIATE_TEST_SUITE_P(Identity, OpeningFolders, ::testing::Bool(), [](const auto& param) {
    return param.param ? std::string("IdentifiedLater") : std::string("IdentifiedAtOpen");
});

// Another thread opens an anchor's last subfolder while a reopening holds the anchor pinned: the
// reopening, ending last, closes it. A handle left open there was closed twice later on.
TEST(OpeningFoldersAtOnce, AReopeningThatEndsLastClosesTheAncestorItStartedFrom) {
    FakePlatform platform;
    platform.addFolder("C:\\A\\P\\X1");
    platform.addFolder("C:\\A\\P\\X2");
    platform.addFolder("C:\\A\\L1");
    platform.addFolder("C:\\A\\L2");
    Gate gate;
    platform.onCall = [&](const std::string&, const std::string& name) { gate.reached(name); };
    OpenFolders folders(platform);
    Nodes nodes(folders);
    std::atomic<bool> stopping{false};
    FolderNode* root = nodes.make(nullptr, "");
    ASSERT_EQ(folders.openRoot(*root, "C:\\", 4).outcome, Outcome::Opened);
    const auto openListed = [&](FolderNode* parent, const char* name, std::uint32_t subfolders) {
        FolderNode* node = nodes.make(parent, name);
        EXPECT_EQ(folders.open(*node, stopping).outcome, Outcome::Opened);
        folders.listed(*node, subfolders);
        return node;
    };
    FolderNode* a = openListed(root, "A", 3);
    FolderNode* p = openListed(a, "P", 2);
    FolderNode* l1 = nodes.make(a, "L1");
    FolderNode* x1 = nodes.make(p, "X1");
    // Each thread opens its folder and lists it as holding nothing, which closes it.
    const auto openIn = [&](FolderNode* node) {
        return std::thread([&, node] {
            EXPECT_EQ(folders.open(*node, stopping).outcome, Outcome::Opened);
            folders.listed(*node, 0);
        });
    };

    // One thread opens L1 from A and is held there, A pinned: so P, not A, makes room for L2.
    gate.armFor("L1");
    std::thread first = openIn(l1);
    gate.awaitArrival("L1");
    openListed(a, "L2", 0);
    ASSERT_FALSE(platform.isOpen("C:\\A\\P"));
    ASSERT_TRUE(platform.isOpen("C:\\A"));

    // Another reopens P from A for X1, and is held on the way down.
    gate.armFor("P");
    std::thread second = openIn(x1);
    gate.awaitArrival("P");
    gate.letGo("L1");  // A's last subfolder is open; the reopening still pins A
    first.join();
    EXPECT_TRUE(platform.isOpen("C:\\A"));
    gate.letGo("P");
    second.join();
    // Nothing needs A any more, and nothing else would close it: within the budget, it stays.
    EXPECT_FALSE(platform.isOpen("C:\\A"));
    EXPECT_TRUE(platform.isOpen("C:\\A\\P"));  // for X2
    EXPECT_EQ(platform.openNow, 2u);
    EXPECT_EQ(folders.openCount(), 2u);
}

}  // namespace
}  // namespace quarvex::test
