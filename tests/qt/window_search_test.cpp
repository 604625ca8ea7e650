// Searches through the real window: started by clicking, boxes answered, results read back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "tests/qt/qt_support.h"
#include "ui/layout.h"
#include "ui/qt/line_model.h"
#include "ui/qt/main_window.h"
#include "ui/texts.h"

namespace quarvex::test {
namespace {

using layout::Id;
using namespace std::chrono_literals;

// A window over drives that are folders of a temporary tree.
struct Searching {
    TempTree tree;
    RecordingOpener opener{tree};
    QtTestPlatform platform{opener.program()};
    qt::MainWindow window{platform};
    std::size_t readsAtUnload = 0;
    // The most folder reads and file sizings one thread of the search still began once the
    // window had unloaded: the walk starts more threads while folders are slow, however many.
    std::size_t readsAfterUnload() const { return platform.mostReadsOfOneThread(readsAtUnload); }

    explicit Searching(const std::vector<std::string>& drives = {"drive"}) {
        for (const std::string& d : drives) {
            tree.dir(d);
            platform.drives.push_back(tree.path(d));
        }
        platform.folder = tree.root();  // on none of the drives: the first is selected
        QObject::connect(&window, &qt::MainWindow::unloadRequested,
                         [this] { readsAtUnload = platform.reads(); });
        window.load();
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QPushButton* button(Id id) const { return qobject_cast<QPushButton*>(window.control(id)); }
    QListView* list() const { return qobject_cast<QListView*>(window.control(Id::List1)); }
    void start() { QTest::mouseClick(button(Id::Command1), Qt::LeftButton); }
    // What the view shows.
    std::vector<std::string> shownLines() const {
        std::vector<std::string> out;
        const qt::LineModel& model = window.lines();
        for (int i = 0; i < model.rowCount(); ++i)
            out.push_back(model.data(model.index(i), Qt::DisplayRole).toString().toStdString());
        return out;
    }
    std::vector<std::string> storedLines() const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < window.listCount(); ++i) out.push_back(window.listLine(i));
        return out;
    }
    // Runs `step` on the window's thread at every event the search's pump delivers.
    void duringSearch(std::function<void()> step) {
        stepper = std::make_unique<QTimer>();
        QObject::connect(stepper.get(), &QTimer::timeout, step);
        stepper->start(0);
    }
    // Runs `action` once, at the pump, when `due` first holds.
    void onceDuringSearch(std::function<bool()> due, std::function<void()> action) {
        auto done = std::make_shared<bool>(false);
        duringSearch([due, action, done] {
            if (*done || !due()) return;
            *done = true;
            action();
        });
    }
    std::unique_ptr<QTimer> stepper;
};

std::string line(const std::string& path, const char* size) {
    return path + " ----- " + size + " Bytes";
}

TEST(QtWindowSearch, ClickingStartListsTheTreeReportsAndRestoresTheCaption) {
    Searching s;
    s.tree.file("drive/a.txt", 1000);
    s.tree.file("drive/sub dir/空 文件.txt", 0);
    s.tree.file("drive/sub dir/deep/b-----c.log", 2500);
    s.tree.file("drive/.hidden/x.txt", 7);
    s.platform.delay = 1ms;
    std::vector<std::string> captions;
    s.duringSearch([&] {
        const std::string title = s.window.windowTitle().toStdString();
        if (title != "Quarvex") captions.push_back(title);
    });
    BoxAnswerer boxes;
    s.start();

    const std::string root = s.tree.path("drive");
    const std::vector<std::string> expected = {line(root + "/a.txt", "1,000"),
                                               line(root + "/sub dir/deep/b-----c.log", "2,500"),
                                               line(root + "/sub dir/空 文件.txt", "")};
    EXPECT_EQ(sorted(s.storedLines()), expected);
    EXPECT_EQ(s.shownLines(), s.storedLines());
    EXPECT_EQ(s.storedLines().at(0), expected[0]);  // the root's own files before its folders'

    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.texts(),
              (std::vector<std::string>{"搜索完成,共查找到 3 个文件\r\n\n总占空间: 3,500 Bytes",
                                        "双击列表指定项，可直接运行文件!"}));
    for (const SeenBox& box : boxes.seen) {
        EXPECT_EQ(box.title, "ZorvikOrlune提示");
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
    }

    ASSERT_FALSE(captions.empty());
    for (const std::string& caption : captions)  // the folder being walked, at the pump's pace
        EXPECT_EQ(caption.rfind("正在查找 " + root + "/", 0), 0u) << caption;
    EXPECT_EQ(s.window.windowTitle().toStdString(), "Quarvex");
    EXPECT_TRUE(s.button(Id::Command1)->isEnabled());
    EXPECT_FALSE(s.button(Id::Command2)->isEnabled());
    // The newest line is the selected one, in the view too.
    EXPECT_EQ(s.window.listSelectedIndex(), 2);
    EXPECT_EQ(s.list()->currentIndex().row(), 2);
    EXPECT_TRUE(s.list()->selectionModel()->isRowSelected(2, QModelIndex()));

    // A second run starts from an empty list.
    s.start();
    EXPECT_EQ(s.window.listCount(), 3u);
    EXPECT_EQ(s.window.lines().rowCount(), 3);
}

TEST(QtWindowSearch, DrivesWithSpacesAreSearchedAsThemselvesFromTheirEntriesAndAllOfThem) {
    Searching s({"data", "My Disk", "trail ", "two  sp"});
    s.tree.file("data/one.txt", 1);
    s.tree.file("My Disk/two words.txt", 22);
    s.tree.file("My Disk/inner/three.txt", 333);
    s.tree.file("trail /four.txt", 4000);
    s.tree.file("two  sp/five.txt", 50000);
    // What trimming or collapsing the names would search instead.
    for (const char* decoy : {"My/x.txt", "trail/x.txt", "two sp/x.txt"}) s.tree.file(decoy, 9);
    auto* combo = qobject_cast<QComboBox*>(s.window.control(Id::Combo1));
    ASSERT_EQ(combo->count(), 5);
    BoxAnswerer boxes;
    const auto searchEntry = [&](int index) {
        combo->setCurrentIndex(index);
        s.start();
        return sorted(s.storedLines());
    };

    const std::string disk = s.tree.path("My Disk");
    EXPECT_EQ(searchEntry(1), (std::vector<std::string>{line(disk + "/inner/three.txt", "333"),
                                                        line(disk + "/two words.txt", "22")}));
    EXPECT_EQ(searchEntry(2),
              std::vector<std::string>{line(s.tree.path("trail /four.txt"), "4,000")});
    EXPECT_EQ(searchEntry(3),
              std::vector<std::string>{line(s.tree.path("two  sp/five.txt"), "50,000")});

    searchEntry(4);
    const std::vector<std::string> all = s.storedLines();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0], line(s.tree.path("data/one.txt"), "1"));  // roots in the listed order
    EXPECT_EQ(all[3], line(s.tree.path("trail /four.txt"), "4,000"));
    EXPECT_EQ(all[4], line(s.tree.path("two  sp/five.txt"), "50,000"));
}

TEST(QtWindowSearch, LinesReachTheViewInBatchesWhileReadsAnswerAtOnce) {
    Searching s;
    // Many small folders of slow files: the lines come in over a few hundred milliseconds,
    // however many threads read ahead.
    for (int d = 0; d < 30; ++d)
        for (int f = 0; f < 10; ++f)
            s.tree.file("drive/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", 1);
    s.platform.delay = 2ms;
    int batches = 0;
    QObject::connect(&s.window.lines(), &QAbstractItemModel::rowsInserted, [&] { ++batches; });
    bool viewLagged = false, readsWrong = false;
    s.duringSearch([&] {
        const std::size_t stored = s.window.listCount();
        if (stored == 0) return;
        viewLagged |= stored > static_cast<std::size_t>(s.window.lines().rowCount());
        // What the search reads back is there at once, whether the view has it or not.
        readsWrong |= s.window.listSelectedIndex() != static_cast<std::ptrdiff_t>(stored - 1) ||
                      s.window.listLine(stored - 1).find(" ----- 1 Bytes") == std::string::npos;
    });
    BoxAnswerer boxes;
    const auto started = std::chrono::steady_clock::now();
    s.start();
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(s.window.listCount(), 300u);
    EXPECT_EQ(s.window.lines().rowCount(), 300);
    EXPECT_TRUE(viewLagged);
    EXPECT_FALSE(readsWrong);
    // The view follows during the search, but in batches at least 100 ms apart, not line by line.
    EXPECT_GE(batches, 2);
    EXPECT_LE(batches, took / 100ms + 2);
    EXPECT_EQ(s.list()->currentIndex().row(), 299);
}

// The lines of a short search all arrive between two batches. The report box, modal, must not
// stand before a list that still lacks them: the view holds every line, the newest selected.
TEST(QtWindowSearch, ReportComesOnlyOnceTheLastBatchHasReachedTheView) {
    Searching s;
    s.tree.file("drive/a.txt", 1);
    s.tree.file("drive/b.txt", 2);
    s.tree.file("drive/sub/c.txt", 3);
    int rowsAtReport = -1, currentAtReport = -1;
    BoxAnswerer boxes;
    boxes.answer = [&](const SeenBox&) {
        if (rowsAtReport < 0) {
            rowsAtReport = s.window.lines().rowCount();
            currentAtReport = s.list()->currentIndex().row();
        }
        return QMessageBox::Ok;
    };
    s.start();

    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[0].text, "搜索完成,共查找到 3 个文件\r\n\n总占空间: 6 Bytes");
    EXPECT_EQ(rowsAtReport, 3);
    EXPECT_EQ(currentAtReport, 2);
}

TEST(QtWindowSearch, StopEndsTheSearchAndReportsWhatWasFound) {
    Searching s;
    for (int d = 0; d < 40; ++d)
        for (int f = 0; f < 5; ++f)
            s.tree.file("drive/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", 10);
    s.platform.delay = 2ms;
    s.onceDuringSearch([&] { return s.window.listCount() >= 20; },
                       [&] { s.button(Id::Command2)->click(); });
    BoxAnswerer boxes;
    s.start();

    const std::size_t found = s.window.listCount();
    EXPECT_GE(found, 20u);
    EXPECT_LT(found, 200u);
    ASSERT_FALSE(boxes.seen.empty());
    EXPECT_EQ(boxes.seen[0].text, "搜索完成,共查找到 " + std::to_string(found) + " 个文件\r\n\n" +
                                      "总占空间: " + std::to_string(found * 10) + " Bytes");
    EXPECT_EQ(s.window.lines().rowCount(), static_cast<int>(found));
    EXPECT_TRUE(s.button(Id::Command1)->isEnabled());
    EXPECT_FALSE(s.button(Id::Command2)->isEnabled());
    EXPECT_EQ(s.window.windowTitle().toStdString(), "Quarvex");
}

TEST(QtWindowSearch, DoubleClickHandsTheExactPathToTheOpener) {
    Searching s;
    const std::string odd = "drive/a b/x-----y ----- z, 'q'.txt";
    s.tree.file(odd, 12);
    s.tree.file("drive/a b/other.txt", 3);
    BoxAnswerer boxes;
    s.start();
    ASSERT_EQ(s.window.listCount(), 2u);
    const int row = s.window.listLine(0).find("other.txt") == std::string::npos ? 0 : 1;
    ASSERT_EQ(s.window.listLine(static_cast<std::size_t>(row)), line(s.tree.path(odd), "12"));

    const QRect item = s.list()->visualRect(s.window.lines().index(row));
    // A double-click as the toolkit delivers it: press, release, double-click.
    QTest::mouseClick(s.list()->viewport(), Qt::LeftButton, {}, item.center());
    QTest::mouseDClick(s.list()->viewport(), Qt::LeftButton, {}, item.center());
    EXPECT_EQ(s.window.listSelectedIndex(), row);
    EXPECT_EQ(s.opener.arguments(), std::vector<std::string>{s.tree.path(odd)});
}

TEST(QtWindowSearch, WebPageButtonHandsTheAddressToTheOpener) {
    Searching s;
    QTest::mouseClick(s.button(Id::Command3), Qt::LeftButton);
    EXPECT_EQ(s.opener.arguments(), std::vector<std::string>{texts::kWebPage});
}

TEST(QtWindowSearch, CloseIsConfirmedNoLetsTheSearchGoOnYesEndsItAtOnce) {
    // Two drives: the second search is of the other one, which no search has listed yet, so it
    // is walked, not answered from what the first kept.
    Searching s({"drive", "other"});
    // Many small folders of slow files, so the search still runs when the close comes.
    for (const char* drive : {"drive", "other"})
        for (int d = 0; d < 50; ++d)
            for (int f = 0; f < 4; ++f)
                s.tree.file(std::string(drive) + "/d" + std::to_string(d) + "/f" +
                                std::to_string(f) + ".txt",
                            1);
    QSignalSpy unloads(&s.window, &qt::MainWindow::unloadRequested);
    QMessageBox::StandardButton closeAnswer = QMessageBox::No;
    BoxAnswerer boxes;
    boxes.answer = [&](const SeenBox& box) {
        return box.buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : closeAnswer;
    };
    auto expectConfirmation = [](const SeenBox& box) {
        EXPECT_EQ(box.text, "您确定退出本程序吗?");
        EXPECT_EQ(box.title, "ZorvikOrlune提示");
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.defaultButton, QMessageBox::Yes);
    };

    // The exit button asks the same question as the close box.
    QTest::mouseClick(s.button(Id::Command5), Qt::LeftButton);
    ASSERT_EQ(boxes.seen.size(), 1u);
    expectConfirmation(boxes.seen[0]);
    EXPECT_TRUE(s.window.isVisible());

    // No: the search carries on to its end.
    s.platform.delay = 3ms;
    s.onceDuringSearch([&] { return s.window.listCount() >= 10; }, [&] { s.window.close(); });
    s.start();
    ASSERT_EQ(boxes.seen.size(), 4u);
    expectConfirmation(boxes.seen[1]);
    EXPECT_EQ(boxes.seen[2].text, "搜索完成,共查找到 200 个文件\r\n\n总占空间: 200 Bytes");
    EXPECT_TRUE(s.window.isVisible());
    EXPECT_EQ(unloads.count(), 0);

    // Yes: the search ends at the next event, with no report, and the window goes.
    closeAnswer = QMessageBox::Yes;
    qobject_cast<QComboBox*>(s.window.control(Id::Combo1))->setCurrentIndex(1);
    s.onceDuringSearch([&] { return s.window.listCount() >= 10; }, [&] { s.window.close(); });
    s.start();
    EXPECT_LE(s.readsAfterUnload(), 1u) << "at most the one each thread had begun";
    ASSERT_EQ(boxes.seen.size(), 5u);
    expectConfirmation(boxes.seen[4]);
    EXPECT_LT(s.window.listCount(), 200u);
    EXPECT_TRUE(s.window.unloaded());
    EXPECT_FALSE(s.window.isVisible());
    EXPECT_EQ(unloads.count(), 1);
    // Once unloaded, closing asks nothing more.
    s.window.close();
    EXPECT_EQ(boxes.seen.size(), 5u);
}

// As the program runs: the search inside the application's event loop, the close confirmed, the
// loop ends and the window goes away with nothing left running.
TEST(QtWindowSearch, ConfirmedCloseDuringASearchEndsTheEventLoop) {
    auto s = std::make_unique<Searching>();
    for (int d = 0; d < 50; ++d)
        for (int f = 0; f < 4; ++f)
            s->tree.file("drive/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", 1);
    s->platform.delay = 3ms;
    QObject::connect(&s->window, &qt::MainWindow::unloadRequested, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    BoxAnswerer boxes;
    boxes.answer = [](const SeenBox&) { return QMessageBox::Yes; };
    s->onceDuringSearch([&] { return s->window.listCount() >= 10; }, [&] { s->window.close(); });
    QTimer::singleShot(0, [&] { s->start(); });
    QTimer guard;  // a hang fails the test instead of stalling it
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(20s);

    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_LE(s->readsAfterUnload(), 1u);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "您确定退出本程序吗?");
    EXPECT_LT(s->window.listCount(), 200u);
    s.reset();
}

}  // namespace
}  // namespace quarvex::test
