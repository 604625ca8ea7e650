// List1's model: the lines live in a LineStore; the view learns of new ones in batches.
#pragma once

#include <QAbstractListModel>
#include <string_view>

#include "ui/line_store.h"
#include "ui/qt/mapped_chunks.h"

namespace quarvex::qt {

class LineModel : public QAbstractListModel {
    Q_OBJECT

  public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // Without the base's checks through virtual calls: views ask for an index at every turn.
    QModelIndex index(int row, int column = 0,
                      const QModelIndex& parent = QModelIndex()) const override {
        return row >= 0 && row < shown_ && column == 0 && !parent.isValid() ? createIndex(row, 0)
                                                                            : QModelIndex();
    }
    QVariant data(const QModelIndex& index, int role) const override;

    // Stores a line; the view sees it at the next publish().
    void append(std::string_view line) { store_.append(line); }
    void clear();
    // Tells the view of the lines stored since the last call, in one insertion.
    void publish();
    bool hasUnpublished() const { return store_.size() > static_cast<std::size_t>(shown_); }

    const LineStore& store() const { return store_; }

  private:
    MappedChunks memory_;
    LineStore store_{&memory_};
    int shown_ = 0;  // rows the view knows of
};

}  // namespace quarvex::qt
