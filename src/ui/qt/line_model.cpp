#include "ui/qt/line_model.h"

#include <climits>

namespace quarvex::qt {

int LineModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

QVariant LineModel::data(const QModelIndex& index, int role) const {
    // The tooltip shows in full a line that the row had to shorten.
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid() ||
        index.row() >= shown_)
        return {};
    const std::string_view line = store_.at(static_cast<std::size_t>(index.row()));
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

void LineModel::clear() {
    beginResetModel();
    store_.clear();
    shown_ = 0;
    endResetModel();
}

void LineModel::publish() {
    // Qt rows are ints; lines beyond that stay readable through the store.
    const std::size_t target = std::min<std::size_t>(store_.size(), INT_MAX);
    if (target <= static_cast<std::size_t>(shown_)) return;
    beginInsertRows(QModelIndex(), shown_, static_cast<int>(target) - 1);
    shown_ = static_cast<int>(target);
    endInsertRows();
}

}  // namespace quarvex::qt
