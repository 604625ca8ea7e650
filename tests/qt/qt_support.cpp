#include "tests/qt/qt_support.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace quarvex::test {

void QtTestPlatform::read() {
    {
        const std::lock_guard lock(mutex_);
        readers_.push_back(std::this_thread::get_id());
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
}

std::size_t QtTestPlatform::reads() const {
    const std::lock_guard lock(mutex_);
    return readers_.size();
}

std::size_t QtTestPlatform::mostReadsOfOneThread(std::size_t since) const {
    const std::lock_guard lock(mutex_);
    std::map<std::thread::id, std::size_t> counts;
    std::size_t most = 0;
    for (std::size_t i = since; i < readers_.size(); ++i)
        most = std::max(most, ++counts[readers_[i]]);
    return most;
}

ListStatus QtTestPlatform::listFolder(FolderHandle handle, Listing& out) {
    read();
    return PosixPlatform::listFolder(handle, out);
}

bool QtTestPlatform::describe(FolderHandle handle, ListedEntry& entry, std::string_view name) {
    read();
    return PosixPlatform::describe(handle, entry, name);
}

BoxAnswerer::BoxAnswerer() {
    answer = [](const SeenBox& box) {
        return box.buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::No;
    };
    connect(&timer_, &QTimer::timeout, this, &BoxAnswerer::poll);
    timer_.start(2);
}

void BoxAnswerer::poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    if (box->defaultButton() != nullptr) defaultButton = box->standardButton(box->defaultButton());
    SeenBox seenBox{box->windowTitle().toStdString(), box->text().toStdString(), box->icon(),
                    box->standardButtons(), defaultButton};
    seen.push_back(seenBox);
    if (QAbstractButton* button = box->button(answer(seenBox))) button->click();
}

std::vector<std::string> BoxAnswerer::texts() const {
    std::vector<std::string> out;
    for (const SeenBox& box : seen) out.push_back(box.text);
    return out;
}

RecordingOpener::RecordingOpener(const TempTree& tree) : program_(tree.path("opener.sh")) {
    std::ofstream(program_) << "#!/bin/sh\n"
                               "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.tmp\"\n"
                               "mv \"$0.tmp\" \"$0.out\"\n";
    chmod(program_.c_str(), 0755);
}

std::vector<std::string> RecordingOpener::arguments(std::chrono::milliseconds patience) const {
    const auto until = std::chrono::steady_clock::now() + patience;
    struct stat st;
    while (stat((program_ + ".out").c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() > until) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<std::string> args;
    std::istringstream in(readFile(program_ + ".out"));
    for (std::string line; std::getline(in, line);) args.push_back(line);
    return args;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quarvex::test
