// List1's view beside a plain QListView: the same rows, pixels and moves, at a cost per batch
// that does not grow with the rows.
#include "ui/qt/line_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

namespace quarvex::test {
namespace {

// Result-like lines, some longer than a row; counts what views ask of it.
class Lines : public QAbstractListModel {
  public:
    mutable std::size_t asked = 0;  // index() and data() calls
    int broken = -1;                // a row whose name holds a line break

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : count_;
    }
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        ++asked;
        return QAbstractListModel::index(row, column, parent);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        ++asked;
        if (role != Qt::DisplayRole) return {};
        const int row = index.row();
        return QStringLiteral("/home/ann/%1/file%2 %3.dat ----- %4 Bytes")
            .arg(row % 3 == 0 ? QStringLiteral("a folder with a long name/and another one below")
                              : QStringLiteral("short"))
            .arg(row == broken ? QStringLiteral("\n") : QString())
            .arg(row)
            .arg(row * 7);
    }
    void grow(int rows) {
        beginInsertRows({}, count_, count_ + rows - 1);
        count_ += rows;
        endInsertRows();
    }

  private:
    int count_ = 0;
};

void configure(QListView& view, QAbstractItemModel& model) {
    view.setModel(&model);
    view.setUniformItemSizes(true);
    view.setTextElideMode(Qt::ElideMiddle);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setEditTriggers(QAbstractItemView::NoEditTriggers);
}

// Both views in one window, so that both draw as active or both as inactive, and the focus
// elsewhere unless a step gives it to one.
struct SideBySide {
    Lines model;
    QWidget window;
    QListView plain{&window};
    qt::LineView lines{&window};
    QLineEdit elsewhere{&window};

    SideBySide() {
        configure(plain, model);
        configure(lines, model);
        plain.setGeometry(0, 0, 400, 260);
        lines.setGeometry(410, 0, 400, 260);
        elsewhere.setGeometry(0, 270, 100, 20);
        window.resize(820, 300);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        elsewhere.setFocus();
    }
    void selectNewest() {
        for (QListView* view : {&plain, static_cast<QListView*>(&lines)}) {
            const QModelIndex newest = model.index(model.rowCount() - 1, 0);
            view->selectionModel()->setCurrentIndex(newest, QItemSelectionModel::ClearAndSelect);
            view->scrollTo(newest);
        }
    }
    // The same rows, selection, scroll bar and pixels in both, after `step`.
    void expectSame(const char* step) {
        SCOPED_TRACE(step);
        elsewhere.setFocus();  // a click gives it to the view clicked
        QApplication::processEvents();
        EXPECT_EQ(lines.currentIndex().row(), plain.currentIndex().row());
        EXPECT_EQ(lines.selectionModel()->selectedRows(), plain.selectionModel()->selectedRows());
        const QScrollBar* a = lines.verticalScrollBar();
        const QScrollBar* b = plain.verticalScrollBar();
        EXPECT_EQ(std::tuple(a->value(), a->maximum(), a->isVisible()),
                  std::tuple(b->value(), b->maximum(), b->isVisible()));
        if (b->isVisible()) {
            EXPECT_EQ(a->pageStep(), b->pageStep());
        }
        EXPECT_TRUE(lines.grab().toImage() == plain.grab().toImage());
    }
};

TEST(QtLineView, DrawsAndMovesAsQListViewDoes) {
    SideBySide s;
    s.expectSame("empty");
    s.model.grow(5);
    s.selectNewest();
    s.expectSame("fewer rows than fit");
    // A click below the last row leaves the selection as it was.
    const QPoint belowTheRows(60, s.plain.visualRect(s.model.index(4, 0)).bottom() + 30);
    QTest::mouseClick(s.plain.viewport(), Qt::LeftButton, {}, belowTheRows);
    QTest::mouseClick(s.lines.viewport(), Qt::LeftButton, {}, belowTheRows);
    s.expectSame("click below the rows");
    EXPECT_EQ(s.lines.currentIndex().row(), 4);
    s.model.grow(995);
    s.selectNewest();
    s.expectSame("the newest of many");

    const std::pair<Qt::Key, const char*> keys[] = {
        {Qt::Key_PageUp, "PageUp"},       {Qt::Key_Up, "Up"},
        {Qt::Key_Home, "Home"},           {Qt::Key_Up, "Up at the top"},
        {Qt::Key_PageDown, "PageDown"},   {Qt::Key_PageDown, "PageDown again"},
        {Qt::Key_Down, "Down"},           {Qt::Key_End, "End"},
        {Qt::Key_Down, "Down at the end"}};
    for (const auto& [key, name] : keys) {
        QTest::keyClick(&s.plain, key);
        QTest::keyClick(&s.lines, key);
        s.expectSame(name);
    }

    for (QListView* view : {&s.plain, static_cast<QListView*>(&s.lines)}) {
        QWheelEvent wheel(QPointF(50, 50), view->viewport()->mapToGlobal(QPointF(50, 50)), QPoint(),
                          QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view->viewport(), &wheel);
    }
    s.expectSame("wheel up");
    const QPoint inFifthRow(60, s.plain.visualRect(s.model.index(0, 0)).height() * 9 / 2);
    QTest::mouseClick(s.plain.viewport(), Qt::LeftButton, {}, inFifthRow);
    QTest::mouseClick(s.lines.viewport(), Qt::LeftButton, {}, inFifthRow);
    s.expectSame("click");
    EXPECT_EQ(s.lines.currentIndex().row(), s.lines.verticalScrollBar()->value() + 4);
    for (QListView* view : {&s.plain, static_cast<QListView*>(&s.lines)})
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
    s.expectSame("scrolled to the end");
    // The current row as each draws it with the focus.
    s.plain.setFocus();
    const QImage focused = s.plain.grab().toImage();
    s.lines.setFocus();
    EXPECT_TRUE(s.lines.grab().toImage() == focused);
}

// The search appends a batch and selects its newest line, again and again: each time the view
// asks the model for what it draws, not for every row it holds. And a row stays one line high
// whatever the newest line holds: a name with a line break in it once doubled every row.
TEST(QtLineView, ABatchCostsTheRowsOnScreenNotTheRowsHeld) {
    Lines model;
    qt::LineView view;
    configure(view, model);
    view.resize(400, 260);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    model.grow(200000);
    const int line = view.visualRect(model.index(0, 0)).height();
    const int onScreen = view.viewport()->height() / line;
    for (int batch = 0; batch < 3; ++batch) {
        QApplication::processEvents();
        model.asked = 0;
        model.broken = model.rowCount() + 999;
        model.grow(1000);
        const QModelIndex newest = model.index(model.rowCount() - 1, 0);
        view.selectionModel()->setCurrentIndex(newest, QItemSelectionModel::ClearAndSelect);
        view.scrollTo(newest);
        view.viewport()->repaint();
        EXPECT_EQ(view.visualRect(newest),
                  QRect(0, (onScreen - 1) * line, view.viewport()->width(), line));
        EXPECT_GE(model.asked, static_cast<std::size_t>(onScreen));  // it did draw the rows
        EXPECT_LT(model.asked, 20u * onScreen) << "batch " << batch;
    }
}

}  // namespace
}  // namespace quarvex::test
