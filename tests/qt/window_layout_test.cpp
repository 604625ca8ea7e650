// The window as it stands after load: controls, geometry, flags, focus, help box and skin.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QTest>
#include <fstream>

#include "tests/qt/qt_support.h"
#include "ui/layout.h"
#include "ui/qt/main_window.h"
#include "ui/skin.h"
#include "ui/texts.h"

namespace quarvex::test {
namespace {

using layout::Id;

QString q(const char* utf8) {
    return QString::fromUtf8(utf8);
}

struct Loaded {
    TempTree folder;  // the program's folder: no skin file unless a test writes one
    QtTestPlatform platform;
    qt::MainWindow window{platform};

    explicit Loaded(const std::string& skin = {}, bool show = true) {
        platform.folder = folder.root();
        if (!skin.empty()) std::ofstream(folder.path("skinh.she")) << skin;
        window.load();
        if (show) {
            window.show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        }
    }
    template <class T>
    T* get(Id id) const {
        auto* w = qobject_cast<T*>(window.control(id));
        EXPECT_NE(w, nullptr) << layout::control(id).name;
        return w;
    }
};

TEST(QtWindowLayout, EveryControlStandsAtItsRectangleWithItsKindAndText) {
    Loaded f;
    for (const layout::Control& c : layout::kControls) {
        SCOPED_TRACE(std::string(c.name));
        QWidget* w = f.window.control(c.id);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->objectName().toStdString(), c.name);
        const layout::Rect r = layout::clientRect(c.id, 96);
        const QPoint topLeft = w->mapTo(&f.window, QPoint(0, 0));
        EXPECT_EQ(topLeft, QPoint(r.left, r.top));
        if (c.id == Id::Label1) {
            // Sized to its caption: at least the table's size, and the caption is not cut.
            EXPECT_GE(w->width(), r.width);
            EXPECT_GE(w->width(), w->fontMetrics().horizontalAdvance(q(texts::kLabel1)));
            EXPECT_GE(w->height(), w->fontMetrics().height());
        } else {
            EXPECT_EQ(w->size(), QSize(r.width, r.height));
        }
        // Frames hold their own children; the other controls are the window's.
        QWidget* container = c.container == Id::None ? &f.window : f.window.control(c.container);
        EXPECT_EQ(w->parentWidget(), container);
    }

    EXPECT_EQ(f.get<QGroupBox>(Id::Frame1)->title(), q(texts::kFrame1));
    EXPECT_EQ(f.get<QGroupBox>(Id::Frame2)->title(), q(texts::kFrame2));
    EXPECT_EQ(f.get<QGroupBox>(Id::Frame3)->title(), q(texts::kFrame3));
    EXPECT_EQ(f.get<QLabel>(Id::Label1)->text(), q("文件名:"));
    EXPECT_EQ(f.get<QLineEdit>(Id::Text1)->text(), q("*.*"));
    const std::pair<Id, const char*> buttons[] = {{Id::Command1, "开始搜索"},
                                                  {Id::Command2, "停止搜索"},
                                                  {Id::Command3, "访问Orlune博客"},
                                                  {Id::Command4, "软件说明"},
                                                  {Id::Command5, "退出程序"}};
    for (const auto& [id, text] : buttons) EXPECT_EQ(f.get<QPushButton>(id)->text(), q(text));

    auto* combo = f.get<QComboBox>(Id::Combo1);
    EXPECT_FALSE(combo->isEditable());
    auto* list = f.get<QListView>(Id::List1);
    EXPECT_TRUE(list->uniformItemSizes());
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);

    // The status bar: one panel of 685 pixels (96 at least) with the copyright notice.
    ASSERT_NE(f.get<QStatusBar>(Id::StatusBar1), nullptr);
    EXPECT_EQ(f.window.statusPanel()->parentWidget(), f.window.control(Id::StatusBar1));
    EXPECT_EQ(f.window.statusPanel()->text(), q(texts::kCopyright));
    EXPECT_EQ(f.window.statusPanel()->width(), 685);
    EXPECT_EQ(f.window.statusPanel()->minimumWidth(), 96);

    // The help box lies beyond the right edge: there, enabled, focusable, never seen.
    auto* help = f.get<QPlainTextEdit>(Id::Text2);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(help->isEnabled());
    EXPECT_NE(help->focusPolicy() & Qt::TabFocus, 0);
    EXPECT_FALSE(f.window.rect().intersects(help->geometry()));
    EXPECT_EQ(f.window.text2(), texts::kHelpText);
}

// The layout is drawn for a UI font 12 pixels high: in it every button's caption stands on one
// line, with or without a skin's button borders, and List1 holds 21 whole lines of 12 pixels.
TEST(QtWindowLayout, CaptionsStandOnOneLineInTheLayoutsTwelvePixelFont) {
    for (const std::string& skin :
         {std::string(), std::string("[button]\nbackground = #FFFFFF\nborder = #7C93B3\n")}) {
        SCOPED_TRACE(skin.empty() ? "no skin" : "skinned buttons");
        Loaded f(skin);
        EXPECT_LE(QFontMetrics(f.window.font()).height(), 12);
        for (Id id : {Id::Command1, Id::Command2, Id::Command3, Id::Command4, Id::Command5}) {
            auto* button = f.get<QPushButton>(id);
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const QRect area =
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), area.width())
                << layout::control(id).name;
        }
        f.window.listAdd("/a ----- 1 Bytes");
        auto* list = f.get<QListView>(Id::List1);
        const int line = list->visualRect(list->model()->index(0, 0)).height();
        EXPECT_EQ(line, 12);
        EXPECT_EQ(list->viewport()->height() / std::max(line, 1), 21);
    }
}

TEST(QtWindowLayout, ChildrenAreStackedFrontToBackAsListed) {
    Loaded f;
    const QObjectList& children = f.window.children();
    int previous = INT_MAX;  // later in children() means further in front
    for (Id id : layout::kWindowChildrenFrontToBack) {
        const int at = static_cast<int>(children.indexOf(f.window.control(id)));
        ASSERT_GE(at, 0) << layout::control(id).name;
        EXPECT_LT(at, previous) << layout::control(id).name;
        previous = at;
    }
    // Start and stop lie inside the operations frame's area and take the click.
    QWidget* start = f.window.control(Id::Command1);
    const QPoint centre = start->geometry().center();
    EXPECT_TRUE(f.window.control(Id::Frame3)->geometry().contains(centre));
    EXPECT_EQ(f.window.childAt(centre), start);
}

TEST(QtWindowLayout, WindowIsFixedCentredTitledWithCloseBoxOnly) {
    Loaded f;
    EXPECT_EQ(f.window.windowTitle(), q("Quarvex"));
    EXPECT_EQ(f.window.size(), QSize(705, 446));
    EXPECT_EQ(f.window.minimumSize(), QSize(705, 446));
    EXPECT_EQ(f.window.maximumSize(), QSize(705, 446));
    const Qt::WindowFlags flags = f.window.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    f.window.resize(800, 600);
    EXPECT_EQ(f.window.size(), QSize(705, 446));

    const QList<QSize> sizes = f.window.windowIcon().availableSizes();
    for (int s : {16, 24, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;

    const QRect screen = f.window.screen()->availableGeometry();
    EXPECT_LE(std::abs(f.window.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(f.window.frameGeometry().center().y() - screen.center().y()), 1);
}

TEST(QtWindowLayout, TabWalksTheOrderFromTheListAndEnterStarts) {
    Loaded f;
    f.window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.window));
    EXPECT_EQ(QApplication::focusWidget(), f.window.control(Id::List1));

    auto walk = [&] {
        std::vector<std::string> names;
        for (int i = 0; i < 9; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            names.push_back(QApplication::focusWidget()->objectName().toStdString());
        }
        return names;
    };
    // After load the stop button is disabled, so Tab passes it by.
    EXPECT_EQ(walk(),
              (std::vector<std::string>{"Text1", "Combo1", "Command1", "Command3", "Command4",
                                        "Command5", "Text2", "List1", "Text1"}));
    f.window.setCommand2Enabled(true);
    f.window.control(Id::List1)->setFocus();
    EXPECT_EQ(walk(),
              (std::vector<std::string>{"Text1", "Combo1", "Command2", "Command1", "Command3",
                                        "Command4", "Command5", "Text2", "List1"}));
    f.window.setCommand2Enabled(false);

    // Enter in the file-name box starts a search of the selected drive; disabled, it does not.
    TempTree drive;
    drive.file("one.txt", 5);
    f.window.comboAdd(drive.root());
    ASSERT_TRUE(f.window.setComboText(drive.root()));
    BoxAnswerer boxes;
    f.window.setCommand1Enabled(false);
    QTest::keyClick(f.window.control(Id::Text1), Qt::Key_Return);
    EXPECT_TRUE(boxes.seen.empty());
    f.window.setCommand1Enabled(true);
    QTest::keyClick(f.window.control(Id::Text1), Qt::Key_Return);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(f.window.listLine(0), drive.path("one.txt") + " ----- 5 Bytes");
}

TEST(QtWindowLayout, LoadFillsTheSelectorPreselectsTheProgramsDriveAndDisablesStop) {
    // Drives as the Linux platform lists them, one with a space in its mount point.
    TempTree tree;
    tree.dir("data");
    tree.dir("My Disk/bin");
    QtTestPlatform platform;
    platform.drives = {tree.path("data"), tree.path("My Disk")};
    platform.folder = tree.path("My Disk/bin");
    qt::MainWindow window(platform);
    window.load();
    auto* combo = qobject_cast<QComboBox*>(window.control(Id::Combo1));
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemText(0).toStdString(), tree.path("data"));
    EXPECT_EQ(combo->itemText(1).toStdString(), tree.path("My Disk"));
    EXPECT_EQ(combo->itemText(2).toStdString(), tree.path("data") + " " + tree.path("My Disk"));
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_TRUE(window.control(Id::Command1)->isEnabled());
    EXPECT_FALSE(window.control(Id::Command2)->isEnabled());
    // A drop-down list takes only its own entries.
    EXPECT_FALSE(window.setComboText("/elsewhere"));
    EXPECT_EQ(combo->currentIndex(), 1);

    // The real mount table: the root file system first, the combined entry last, and the
    // preselected drive holds the program.
    QtTestPlatform real;
    qt::MainWindow realWindow(real);
    realWindow.load();
    auto* realCombo = qobject_cast<QComboBox*>(realWindow.control(Id::Combo1));
    ASSERT_GE(realCombo->count(), 2);
    EXPECT_EQ(realCombo->itemText(0), q("/"));
    EXPECT_TRUE(realCombo->itemText(realCombo->count() - 1).startsWith(q("/")));
    const std::string selected = realWindow.comboText();
    EXPECT_EQ(real.programFolder().rfind(selected, 0), 0u) << selected;
}

TEST(QtWindowLayout, HelpButtonShowsTheHelpTextByteForByte) {
    Loaded f;
    BoxAnswerer boxes;
    QTest::mouseClick(f.window.control(Id::Command4), Qt::LeftButton);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, texts::kHelpText);
    EXPECT_EQ(boxes.seen[0].title, texts::kBoxTitle);
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
    EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::Ok);
}

QRgb pixelAt(QWidget* w, QPoint p) {
    return w->grab().toImage().pixel(p);
}

TEST(QtWindowLayout, SkinColoursTheWindowAndABadOrMissingFileLeavesQtsLook) {
    const std::string skin =
        "; test skin\n[window]\nbackground = #405060\ntext = #FFFFFF\n"
        "[list]\nbackground = #102030\ntext = #E0E0E0\nborder = #000000\n";
    const QPoint inList(300, 100), inWindow(702, 200);  // an empty row; the margin by Frame1
    {
        Loaded f(skin);
        ASSERT_NE(activeSkin(), nullptr);
        EXPECT_FALSE(f.window.styleSheet().isEmpty());
        EXPECT_EQ(pixelAt(f.window.control(Id::List1), inList), qRgb(0x10, 0x20, 0x30));
        EXPECT_EQ(pixelAt(&f.window, inWindow), qRgb(0x40, 0x50, 0x60));
    }
    for (const std::string& bad : {std::string(), std::string("[list]\nbackground = #1020\n"),
                                   std::string("background = #102030\n")}) {
        SCOPED_TRACE(bad);
        // A good skin first, so a stale one would show.
        TempTree other;
        std::ofstream(other.path("skinh.she")) << skin;
        ASSERT_EQ(SkinH_AttachEx(other.path("skinh.she"), ""), 0);
        Loaded f(bad.empty() ? std::string() : bad);
        EXPECT_EQ(activeSkin(), nullptr);
        EXPECT_TRUE(f.window.styleSheet().isEmpty());
        const QColor base = f.window.control(Id::List1)->palette().color(QPalette::Base);
        EXPECT_EQ(pixelAt(f.window.control(Id::List1), inList), base.rgb());
        EXPECT_NE(base.rgb(), qRgb(0x10, 0x20, 0x30));
    }
}

}  // namespace
}  // namespace quarvex::test
