// Test fixtures: a window that records what the search does to it, a platform with drive letters
// for what a Linux folder cannot show, and real temporary folder trees.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "search/platform.h"
#include "search/search_core.h"
#include "search/window.h"

namespace quarvex::test {

struct Box {
    BoxKind kind;
    std::string text;
    bool operator==(const Box&) const = default;
};

// A window whose selector is a drop-down list, as in the real windows.
template <class Base = Window>
class BasicFakeWindow : public Base {
  public:
    std::string caption = "Quarvex";
    std::vector<std::string> captions;       // every caption set, in order
    bool command1 = true, command2 = false;  // idle, as after load
    bool freeText = false;  // a selector that takes any text, as the console's does
    std::vector<std::string> entries;
    std::ptrdiff_t comboSelected = -1;
    std::string text1Value = "*.*";
    std::vector<std::string> lines;
    std::ptrdiff_t selected = -1;
    std::vector<Box> boxes;
    int boxAnswer = kIdOk;
    std::function<void()> onPump;  // runs at every pumped event
    std::size_t pumps = 0;

    void setCaption(const std::string& text) override {
        caption = text;
        captions.push_back(text);
    }
    bool command1Enabled() const override { return command1; }
    void setCommand1Enabled(bool e) override { command1 = e; }
    bool command2Enabled() const override { return command2; }
    void setCommand2Enabled(bool e) override { command2 = e; }
    void comboAdd(const std::string& entry) override { entries.push_back(entry); }
    std::size_t comboCount() const override { return entries.size(); }
    std::string comboEntry(std::size_t i) const override { return entries.at(i); }
    std::string comboText() const override {
        return comboSelected < 0 ? std::string() : entries[static_cast<std::size_t>(comboSelected)];
    }
    bool setComboText(const std::string& text) override {
        if (freeText) {
            chooseRoots(text);
            return true;
        }
        const std::ptrdiff_t i = findComboEntry(*this, text);
        if (i < 0) return false;
        comboSelected = i;
        return true;
    }
    std::string text1() const override { return text1Value; }
    void setText1(const std::string& t) override { text1Value = t; }
    void listClear() override {
        lines.clear();
        selected = -1;
    }
    void listAdd(std::string_view line) override { lines.emplace_back(line); }
    std::size_t listCount() const override { return lines.size(); }
    void listSelect(std::size_t i) override { selected = static_cast<std::ptrdiff_t>(i); }
    std::ptrdiff_t listSelectedIndex() const override { return selected; }
    std::string listLine(std::size_t i) const override { return lines.at(i); }
    int messageBox(BoxKind kind, const std::string& text) override {
        boxes.push_back({kind, text});
        return boxAnswer;
    }
    void pumpEvents() override {
        ++pumps;
        if (onPump) onPump();
    }

    // Puts a free text into the selector, as if it were one of its entries.
    void chooseRoots(const std::string& text) {
        entries.push_back(text);
        comboSelected = static_cast<std::ptrdiff_t>(entries.size() - 1);
    }
};
using FakeWindow = BasicFakeWindow<>;

// A Windows-like platform over an in-memory tree: drive letters, "\" separators, drive types.
class FakePlatform : public Platform {
  public:
    std::map<std::string, unsigned> driveTypes;  // "C:\" -> type
    std::string folder = "C:\\Tools";
    std::vector<std::string> opened;
    // folder path ending in "\" -> entries; a pattern is matched by a plain "*" or exact name.
    std::map<std::string, std::vector<std::pair<FindRecord, std::uint64_t>>> tree;
    std::vector<std::string> enumerated;  // every path pattern asked for

    FindHandle findFirst(const std::string& pathPattern, FindRecord& data) override;
    bool findNext(FindHandle handle, FindRecord& data) override;
    void findClose(FindHandle) override { ++closed; }
    std::optional<std::uint64_t> fileLength(FindHandle handle) override;
    unsigned driveType(const std::string& root) override {
        const auto it = driveTypes.find(root);
        return it == driveTypes.end() ? kDriveNoRootDir : it->second;
    }
    std::vector<std::string> mountedDrives() override { return {}; }
    bool open(const std::string& target) override {
        opened.push_back(target);
        return true;
    }
    std::string programFolder() override { return folder; }
    char separator() const override { return '\\'; }
    bool hasDriveLetters() const override { return true; }

    int opens = 0, closed = 0;

  private:
    struct Cursor {
        const std::vector<std::pair<FindRecord, std::uint64_t>>* entries;
        std::string pattern;
        std::size_t next;
        std::uint64_t size;
    };
    bool advance(Cursor& c, FindRecord& data);
    std::vector<Cursor> cursors_;
};

// A folder under /tmp that is removed with everything in it when the test ends.
class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }  // without a trailing "/"
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    void dir(const std::string& relative) const;
    // Creates a file of `size` bytes; sparse, so large sizes cost no disk.
    void file(const std::string& relative, std::uint64_t size = 0) const;
    void link(const std::string& target, const std::string& relative) const;

  private:
    std::string root_;
};

// The result lines of a search, sorted: for tests where the platform's order does not matter.
std::vector<std::string> sorted(std::vector<std::string> lines);

}  // namespace quarvex::test
