#include "app/composition.h"

#include "platform/computer_identity.h"
#include "transport/internet_line.h"

namespace merrowfax {

Composition compose(FrontEnd front) {
    Composition made;
    AppComponents& parts = made.components;
    parts.services = serviceAddresses();

    auto line = std::make_unique<InternetLine>(parts.services.service);
    made.line = line.get();
    parts.line = std::move(line);
    parts.directory = std::make_unique<DirectoryClient>(parts.services.service);
    // The LAN link, call media, walkie and sounds join with their engines;
    // until then the defaults of AppComponents stand in for them.

    parts.notifier = front.notifier ? std::move(front.notifier) : makeDesktopNotifier();
    if (front.isActive) parts.isActive = std::move(front.isActive);
    parts.computerIdentity =
        front.identityFolder ? computerIdentityIn(*front.identityFolder) : computerIdentity();
    return made;
}

}  // namespace merrowfax
