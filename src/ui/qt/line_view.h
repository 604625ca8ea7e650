// List1's view: a QListView whose rows all have the height of one line of text and the width of
// the view, so that where a row lies is arithmetic. QListView itself lays out every row again
// whenever rows are added, which a search adding hundreds of thousands of lines pays per batch;
// here a batch costs the rows on screen, whatever the count.
#pragma once

#include <QListView>

namespace quarvex::qt {

class LineView : public QListView {
    Q_OBJECT

  public:
    explicit LineView(QWidget* parent = nullptr);

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    void doItemsLayout() override;
    void reset() override;

  protected:
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;

  private:
    int rowCount() const;
    int rowHeight() const;
    // Rows that fit the viewport whole (at least one).
    int pageRows() const;
    int firstRow() const;
    // The row at viewport height y, whether or not it exists.
    qint64 rowAt(int y) const;

    mutable int rowHeight_ = 0;  // 0: not measured since the font or style changed
    int hoverRow_ = -1;
};

}  // namespace quarvex::qt
