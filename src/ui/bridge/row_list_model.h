#pragma once

#include <QAbstractListModel>

#include <algorithm>
#include <optional>
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
    using Key = decltype(Row::key);

    // Where the row with `key` is; searched from the end, where the rows
    // that change (new messages) usually are.
    std::optional<std::size_t> find(const Key& key) const {
        for (std::size_t i = rows_.size(); i-- > 0;) {
            if (rows_[i].key == key) return i;
        }
        return std::nullopt;
    }

    // One row brought up to date without looking at the others: moved to
    // `at` (inserted there when new), its content signalled when it changed.
    void placeRow(Row row, std::size_t at) {
        at = std::min(at, rows_.size());
        const auto from = find(row.key);
        if (!from) {
            beginInsertRows({}, static_cast<int>(at), static_cast<int>(at));
            rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
            endInsertRows();
            return;
        }
        if (*from != at && at < rows_.size()) {
            // Qt's destination is the row before which it lands, in the old list.
            const int to = static_cast<int>(at > *from ? at + 1 : at);
            beginMoveRows({}, static_cast<int>(*from), static_cast<int>(*from), {}, to);
            const auto first = rows_.begin();
            if (at < *from) {
                std::rotate(first + static_cast<std::ptrdiff_t>(at),
                            first + static_cast<std::ptrdiff_t>(*from),
                            first + static_cast<std::ptrdiff_t>(*from + 1));
            } else {
                std::rotate(first + static_cast<std::ptrdiff_t>(*from),
                            first + static_cast<std::ptrdiff_t>(*from + 1),
                            first + static_cast<std::ptrdiff_t>(at + 1));
            }
            endMoveRows();
        }
        updateRow(std::move(row));
    }

    // The row with `row.key`, when shown, takes `row`'s content.
    void updateRow(Row row) {
        const auto at = find(row.key);
        if (!at || rows_[*at] == row) return;
        rows_[*at] = std::move(row);
        Q_EMIT dataChanged(index(static_cast<int>(*at)), index(static_cast<int>(*at)));
    }

    // A row after the last.
    void appendRow(Row row) {
        const int at = static_cast<int>(rows_.size());
        beginInsertRows({}, at, at);
        rows_.push_back(std::move(row));
        endInsertRows();
    }

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
