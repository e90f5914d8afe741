// How long a list model takes to take in a changed thread of 10 000 messages:
// the diff that turns a whole new list into row signals.
#include <benchmark/benchmark.h>

#include <QString>

#include "ui/bridge/row_list_model.h"

namespace {

struct Row {
    QString key;
    QString text;
    QString status;
    bool operator==(const Row&) const = default;
};

class Rows : public merrowfax::ui::RowListModel<Row> {
public:
    using RowListModel::sync;
    QVariant data(const QModelIndex&, int) const override { return {}; }
};

std::vector<Row> thread(int count) {
    std::vector<Row> rows;
    rows.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        rows.push_back({QString::number(i), QStringLiteral("message text number %1").arg(i),
                        QStringLiteral("Delivered")});
    }
    return rows;
}

void AppendOneMessage(benchmark::State& state) {
    const auto before = thread(static_cast<int>(state.range(0)));
    auto after = before;
    after.push_back({QStringLiteral("new"), QStringLiteral("hello"), QStringLiteral("Waiting")});
    for (auto _ : state) {
        state.PauseTiming();
        Rows model;
        model.sync(before);
        state.ResumeTiming();
        model.sync(after);
    }
}
BENCHMARK(AppendOneMessage)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void StatusOfTheLastMessage(benchmark::State& state) {
    const auto before = thread(static_cast<int>(state.range(0)));
    auto after = before;
    after.back().status = QStringLiteral("Sent");
    Rows model;
    model.sync(before);
    bool flip = false;
    for (auto _ : state) {
        model.sync(flip ? before : after);
        flip = !flip;
    }
}
BENCHMARK(StatusOfTheLastMessage)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace
