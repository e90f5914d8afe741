#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace merrowfax::testing {

// Points this process's D-Bus clients at another system bus while it lives.
// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once per process and keeps it until
// dbus_shutdown(), so both the change and the restore reset libdbus: no
// D-Bus connection of this process (Avahi clients among them) may be open
// then.
class SystemBusAddress {
public:
    explicit SystemBusAddress(const std::string& address);
    ~SystemBusAddress();
    SystemBusAddress(const SystemBusAddress&) = delete;
    SystemBusAddress& operator=(const SystemBusAddress&) = delete;

private:
    std::optional<std::string> previous_;
};

// A private system D-Bus and Avahi daemon for one test, in a fresh folder.
// The avahi-daemon runs in network and mount namespaces of its own: its mDNS
// stays on a loopback nobody else uses, with a private /run for the pid file
// and socket it insists on, so harnesses of tests run in parallel neither
// see each other's services nor clash. Clients reach it over the bus, whose
// socket is in the folder: while the object lives DBUS_SYSTEM_BUS_ADDRESS
// points this process there (see SystemBusAddress), and child processes
// inherit it. Services resolve to 127.0.0.1. Throws std::runtime_error when
// either daemon does not start.
class AvahiServer {
public:
    // dbus-daemon and avahi-daemon are installed (tests skip without them).
    static bool available();

    AvahiServer();
    ~AvahiServer();
    AvahiServer(const AvahiServer&) = delete;
    AvahiServer& operator=(const AvahiServer&) = delete;

    std::string busAddress() const;  // unix:path=DIR/bus
    // What both daemons wrote so far.
    std::string log() const;

    // Stops avahi-daemon (its clients see it go) and starts a new one on the
    // same bus, returning once it serves.
    void restartAvahi();

private:
    void startBus();
    void startAvahi();

    std::filesystem::path root_;
    pid_t bus_ = -1;
    pid_t avahi_ = -1;
    std::optional<SystemBusAddress> address_;
};

}  // namespace merrowfax::testing
