#pragma once

#include <memory>
#include <string>

#include "transport/lan_transport.h"

namespace merrowfax::testing {

// An in-process LAN joining several models in one test. Every link that was
// started with a number is a connected peer of every other started link and
// serves that number. Envelopes (through their JSON form), media and files
// reach the other links' handlers asynchronously on the event loop, as a
// real link delivers them. Main thread only; the network outlives no link
// it needs: a destroyed link simply leaves it.
class LoopbackLan {
public:
    LoopbackLan();
    ~LoopbackLan();

    // A new link, known to its peers by `key`, for one model's components.
    std::unique_ptr<LanTransport> join(const std::string& key);

private:
    struct Hub;
    class Link;
    std::shared_ptr<Hub> hub_;
};

}  // namespace merrowfax::testing
