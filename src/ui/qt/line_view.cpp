#include "ui/qt/line_view.h"

#include <QAccessible>
#include <QHoverEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

namespace quarvex::qt {

namespace {

int saturated(qint64 value) {
    return static_cast<int>(std::clamp<qint64>(value, INT_MIN, INT_MAX));
}

}  // namespace

LineView::LineView(QWidget* parent) : QListView(parent) {
    // The vertical bar counts rows, whatever the style prefers: rows are where arithmetic puts
    // them from the first one shown.
    setVerticalScrollMode(ScrollPerItem);
}

int LineView::rowCount() const {
    return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int LineView::rowHeight() const {
    if (rowHeight_ == 0) {
        // One line of text, as the delegate sizes an item that holds one: not a row's own text,
        // where a name with a line break in it would set the height of every row.
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.features |= QStyleOptionViewItem::HasDisplay;
        option.text = QStringLiteral("/");
        const QSize size = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, {}, this);
        rowHeight_ = std::max(1, size.height());
    }
    return rowHeight_;
}

int LineView::pageRows() const {
    return std::max(1, viewport()->height() / rowHeight());
}

int LineView::firstRow() const {
    return verticalScrollBar()->value();
}

qint64 LineView::rowAt(int y) const {
    const qint64 h = rowHeight();
    const qint64 rows = y >= 0 ? y / h : -((h - 1 - y) / h);  // rounded down above the top
    return firstRow() + rows;
}

QRect LineView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != model() || index.parent() != rootIndex() ||
        index.column() != modelColumn())
        return {};
    const int h = rowHeight();
    // Far-off rows stay far off; their offset only has to fit in an int.
    const qint64 top = (static_cast<qint64>(index.row()) - firstRow()) * h;
    return {0, saturated(std::clamp<qint64>(top, INT_MIN / 2, INT_MAX / 2)), viewport()->width(),
            h};
}

QModelIndex LineView::indexAt(const QPoint& point) const {
    if (point.x() < 0 || point.x() >= viewport()->width()) return {};
    const qint64 row = rowAt(point.y());
    if (row < 0 || row >= rowCount()) return {};
    return model()->index(static_cast<int>(row), modelColumn(), rootIndex());
}

void LineView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid() || index.parent() != rootIndex() || index.column() != modelColumn())
        return;
    const qint64 row = index.row();
    const qint64 first = firstRow();
    const qint64 page = pageRows();
    qint64 value = first;
    switch (hint) {
        case EnsureVisible:
            if (row < first)
                value = row;
            else if (row >= first + page)
                value = row - page + 1;
            break;
        case PositionAtTop:
            value = row;
            break;
        case PositionAtBottom:
            value = row - page + 1;
            break;
        case PositionAtCenter:
            value = row - (page - 1) / 2;
            break;
    }
    // The bar keeps the value within its range.
    verticalScrollBar()->setValue(saturated(value));
}

void LineView::doItemsLayout() {
    // Nothing to lay out: the scroll bar's range is all that follows from the rows.
    QAbstractItemView::doItemsLayout();
}

void LineView::reset() {
    QListView::reset();
    hoverRow_ = -1;
    // The bar goes at once, not a layout later.
    updateGeometries();
}

void LineView::rowsInserted(const QModelIndex& parent, int start, int end) {
    // QListView's own would lay out every row again.
    QAbstractItemView::rowsInserted(parent, start, end);
    if (parent != rootIndex()) return;
    updateGeometries();
    if (start <= static_cast<qint64>(firstRow()) + pageRows()) viewport()->update();
}

void LineView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // QListView tells assistive tools the row through its own layout; the row is the child.
    if (QAccessible::isActive() && current.isValid()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(current.row());
        QAccessible::updateAccessibility(&event);
    }
    QAbstractItemView::currentChanged(current, previous);
}

void LineView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    if (QAccessible::isActive()) {
        if (!selected.isEmpty()) {
            QAccessibleEvent event(this, QAccessible::SelectionAdd);
            event.setChild(selected.first().top());
            QAccessible::updateAccessibility(&event);
        }
        if (!deselected.isEmpty()) {
            QAccessibleEvent event(this, QAccessible::SelectionRemove);
            event.setChild(deselected.first().top());
            QAccessible::updateAccessibility(&event);
        }
    }
    QAbstractItemView::selectionChanged(selected, deselected);
}

int LineView::horizontalOffset() const {
    return 0;  // rows are as wide as the view
}

int LineView::verticalOffset() const {
    return saturated(static_cast<qint64>(firstRow()) * rowHeight());
}

QModelIndex LineView::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
    const int count = rowCount();
    if (count == 0) return {};
    const QModelIndex current = currentIndex();
    if (!current.isValid()) return model()->index(0, modelColumn(), rootIndex());
    // A page keeps one row of the last in view, as QListView's does.
    const qint64 page = std::max(1, pageRows() - 1);
    qint64 row = current.row();
    switch (action) {
        case MoveUp:
        case MovePrevious:
            --row;
            break;
        case MoveDown:
        case MoveNext:
            ++row;
            break;
        case MovePageUp:
            row -= page;
            break;
        case MovePageDown:
            row += page;
            break;
        case MoveHome:
            row = 0;
            break;
        case MoveEnd:
            row = count - 1;
            break;
        case MoveLeft:
        case MoveRight:
            break;  // one column
    }
    return model()->index(static_cast<int>(std::clamp<qint64>(row, 0, count - 1)), modelColumn(),
                          rootIndex());
}

void LineView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    if (selectionModel() == nullptr) return;
    // The rows under both corners and those between, or nothing when a corner has no row.
    const QRect area = rect.normalized();
    const qint64 top = rowAt(area.top());
    const qint64 bottom = rowAt(area.bottom());
    QItemSelection selection;
    if (top >= 0 && bottom < rowCount())
        selection.select(model()->index(static_cast<int>(top), modelColumn(), rootIndex()),
                         model()->index(static_cast<int>(bottom), modelColumn(), rootIndex()));
    selectionModel()->select(selection, command);
}

QRegion LineView::visualRegionForSelection(const QItemSelection& selection) const {
    // Only what is on screen: a selection may span more rows than any rectangle holds.
    const qint64 first = firstRow();
    const qint64 last = first + pageRows();  // the row cut by the bottom edge too
    const int h = rowHeight();
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        if (range.parent() != rootIndex() || range.left() > modelColumn() ||
            range.right() < modelColumn())
            continue;
        const qint64 top = std::max<qint64>(range.top(), first);
        const qint64 bottom = std::min<qint64>(range.bottom(), last);
        if (top <= bottom)
            region += QRect(0, static_cast<int>((top - first) * h), viewport()->width(),
                            static_cast<int>((bottom - top + 1) * h));
    }
    return region;
}

void LineView::updateGeometries() {
    const int page = pageRows();
    QScrollBar* bar = verticalScrollBar();
    bar->setSingleStep(1);
    bar->setPageStep(page);
    bar->setRange(0, std::max(0, rowCount() - page));
    horizontalScrollBar()->setRange(0, 0);
    QAbstractItemView::updateGeometries();
}

void LineView::scrollContentsBy(int, int dy) {
    // QListView's own only stops an auto-scroll pending from a click here: it has laid out
    // nothing it could move.
    QListView::scrollContentsBy(0, 0);
    if (dy == 0) return;
    // A move past the viewport's height repaints it all, however far it went.
    const qint64 limit = viewport()->height() + rowHeight();
    const qint64 pixels = std::clamp<qint64>(static_cast<qint64>(dy) * rowHeight(), -limit, limit);
    QAbstractItemView::scrollContentsBy(0, static_cast<int>(pixels));
}

void LineView::paintEvent(QPaintEvent* event) {
    const int count = rowCount();
    if (count == 0) return;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State viewState = option.state;
    const bool enabled = viewState.testFlag(QStyle::State_Enabled);
    const QModelIndex current = currentIndex();
    const bool focus = (hasFocus() || viewport()->hasFocus()) && current.isValid();
    const QItemSelectionModel* selections = selectionModel();
    const int h = rowHeight();
    const qint64 first = firstRow();
    const qint64 from = std::max<qint64>(rowAt(event->rect().top()), 0);
    const qint64 to = std::min<qint64>(rowAt(event->rect().bottom()), count - 1);
    QPainter painter(viewport());
    for (qint64 row = from; row <= to; ++row) {
        const QModelIndex index = model()->index(static_cast<int>(row), modelColumn(), rootIndex());
        option.rect = QRect(0, static_cast<int>((row - first) * h), viewport()->width(), h);
        option.state = viewState;
        if (selections != nullptr && selections->isSelected(index))
            option.state |= QStyle::State_Selected;
        if (enabled) {
            const bool itemEnabled = model()->flags(index).testFlag(Qt::ItemIsEnabled);
            option.state.setFlag(QStyle::State_Enabled, itemEnabled);
            option.palette.setCurrentColorGroup(itemEnabled ? QPalette::Normal
                                                            : QPalette::Disabled);
        }
        if (focus && index == current) {
            option.state |= QStyle::State_HasFocus;
            if (state() == EditingState) option.state |= QStyle::State_Editing;
        }
        option.state.setFlag(QStyle::State_MouseOver, row == hoverRow_);
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}

void LineView::resizeEvent(QResizeEvent* event) {
    // QListView's own would lay out every row again.
    QAbstractItemView::resizeEvent(event);
}

bool LineView::event(QEvent* event) {
    // Before the base, which lays the rows out again at once for a new style.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) rowHeight_ = 0;
    return QListView::event(event);
}

bool LineView::viewportEvent(QEvent* event) {
    // The row under the pointer, for styles that draw it: the base keeps its own to itself.
    switch (event->type()) {
        case QEvent::HoverEnter:
        case QEvent::HoverMove: {
            const QModelIndex index =
                indexAt(static_cast<QHoverEvent*>(event)->position().toPoint());
            hoverRow_ = index.isValid() ? index.row() : -1;
            break;
        }
        case QEvent::HoverLeave:
        case QEvent::Leave:
            hoverRow_ = -1;
            break;
        default:
            break;
    }
    return QListView::viewportEvent(event);
}

}  // namespace quarvex::qt
