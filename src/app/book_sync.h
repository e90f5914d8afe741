#pragma once

#include <QTimer>

#include <functional>
#include <vector>

#include "wire/service_records.h"

namespace merrowfax {

class NetTransport;
using wire::BookEntry;

// The relay service's copy of the contact book. Changes go up once a burst
// of them is in; every registration fetches the stored book again, and its
// first answer is merged here and sent back when the merged book differs.
class BookSync {
public:
    BookSync(NetTransport& line, std::function<std::vector<BookEntry>()> entries);

    void changed();  // an upload is due at the end of the interval
    void flush();    // a due upload goes now
    void upload();
    void lineOpened();  // asks for the stored book
    // The service's book came and `added` contacts were made from it.
    void answered(const std::vector<BookEntry>& theirs, bool added);

private:
    NetTransport& line_;
    std::function<std::vector<BookEntry>()> entries_;
    QTimer due_;
    bool merging_ = false;
};

}  // namespace merrowfax
