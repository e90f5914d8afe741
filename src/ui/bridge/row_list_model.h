#pragma once

#include <QAbstractListModel>

#include <algorithm>
#include <utility>
#include <vector>

namespace merrowfax::ui {

// A list model over rows with a key, brought up to date by sync(): only the
// rows that changed are signalled (removed, inserted, moved, changed), so a
// view keeps its delegates and its place. `Row` needs `key` and ==.
template <typename Row>
class RowListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    const std::vector<Row>& rows() const { return rows_; }

protected:
    void sync(std::vector<Row> next) {
        const std::size_t oldSize = rows_.size();
        const std::size_t newSize = next.size();
        const std::size_t common = std::min(oldSize, newSize);
        std::size_t prefix = 0;
        while (prefix < common && rows_[prefix].key == next[prefix].key) ++prefix;
        std::size_t suffix = 0;
        while (suffix < common - prefix &&
               rows_[oldSize - 1 - suffix].key == next[newSize - 1 - suffix].key) {
            ++suffix;
        }
        const std::size_t oldEnd = oldSize - suffix;
        const std::size_t newEnd = newSize - suffix;

        if (isMoveToFront(prefix, oldEnd, next, newEnd)) {
            // The usual change of a list kept newest first: one row went up.
            beginMoveRows({}, static_cast<int>(oldEnd - 1), static_cast<int>(oldEnd - 1), {},
                          static_cast<int>(prefix));
            std::rotate(rows_.begin() + static_cast<std::ptrdiff_t>(prefix),
                        rows_.begin() + static_cast<std::ptrdiff_t>(oldEnd - 1),
                        rows_.begin() + static_cast<std::ptrdiff_t>(oldEnd));
            endMoveRows();
        } else {
            if (oldEnd > prefix) {
                beginRemoveRows({}, static_cast<int>(prefix), static_cast<int>(oldEnd - 1));
                rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(prefix),
                            rows_.begin() + static_cast<std::ptrdiff_t>(oldEnd));
                endRemoveRows();
            }
            if (newEnd > prefix) {
                beginInsertRows({}, static_cast<int>(prefix), static_cast<int>(newEnd - 1));
                rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(prefix),
                             next.begin() + static_cast<std::ptrdiff_t>(prefix),
                             next.begin() + static_cast<std::ptrdiff_t>(newEnd));
                endInsertRows();
            }
        }

        // Same keys in the same places now: signal the rows whose content
        // changed, in runs.
        std::size_t i = 0;
        while (i < rows_.size()) {
            if (rows_[i] == next[i]) {
                ++i;
                continue;
            }
            const std::size_t first = i;
            while (i < rows_.size() && !(rows_[i] == next[i])) {
                rows_[i] = std::move(next[i]);
                ++i;
            }
            Q_EMIT dataChanged(index(static_cast<int>(first)), index(static_cast<int>(i - 1)));
        }
    }

private:
    bool isMoveToFront(std::size_t prefix, std::size_t oldEnd, const std::vector<Row>& next,
                       std::size_t newEnd) const {
        if (oldEnd - prefix < 2 || oldEnd - prefix != newEnd - prefix) return false;
        if (!(next[prefix].key == rows_[oldEnd - 1].key)) return false;
        for (std::size_t j = prefix; j + 1 < oldEnd; ++j) {
            if (!(rows_[j].key == next[j + 1].key)) return false;
        }
        return true;
    }

    std::vector<Row> rows_;
};

}  // namespace merrowfax::ui
