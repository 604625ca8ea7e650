// Fixtures for the Qt window: a real Linux platform with a chosen program folder and drives, a
// test-made opener, and a watcher that answers the window's message boxes as a user would.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "tests/support.h"

namespace quarvex::test {

class QtTestPlatform : public posix::PosixPlatform {
  public:
    explicit QtTestPlatform(std::string opener = "/bin/true") : PosixPlatform(std::move(opener)) {}

    std::string folder;                  // the program's folder; empty: the real one
    std::vector<std::string> drives;     // the mounted drives; empty: the real ones
    std::chrono::microseconds delay{0};  // a slow disk: each read of a folder or a file waits

    // Folder reads and file sizings so far, from any thread.
    std::size_t reads() const;
    // The most of them one thread began after the first `since`.
    std::size_t mostReadsOfOneThread(std::size_t since) const;

    std::string programFolder() override {
        return folder.empty() ? PosixPlatform::programFolder() : folder;
    }
    std::vector<std::string> mountedDrives() override {
        return drives.empty() ? PosixPlatform::mountedDrives() : drives;
    }
    ListStatus listFolder(FolderHandle folder, Listing& out) override;
    bool describe(FolderHandle folder, ListedEntry& entry, std::string_view name) override;

  private:
    void read();

    mutable std::mutex mutex_;
    std::vector<std::thread::id> readers_;  // who began each read, in order
};

// A message box as the user saw it.
struct SeenBox {
    std::string title, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
};

// Watches for the window's modal message boxes and answers each with `answer`.
class BoxAnswerer : public QObject {
  public:
    BoxAnswerer();
    std::vector<SeenBox> seen;
    std::function<QMessageBox::StandardButton(const SeenBox&)> answer;
    std::vector<std::string> texts() const;

  private:
    void poll();
    QTimer timer_;
};

// An opener program that writes what it was handed into `<script>.out`.
class RecordingOpener {
  public:
    explicit RecordingOpener(const TempTree& tree);
    const std::string& program() const { return program_; }
    // The arguments of the first launch, waited for (the opener runs detached).
    std::vector<std::string> arguments(
        std::chrono::milliseconds patience = std::chrono::seconds(10)) const;

  private:
    std::string program_;
};

std::string readFile(const std::string& path);

}  // namespace quarvex::test
