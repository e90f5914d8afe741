#include "transport/lan_media_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace merrowfax::lan {

MediaSocket::MediaSocket(Callbacks callbacks) : callbacks_(std::move(callbacks)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0 || wake_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

MediaSocket::~MediaSocket() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
}

void MediaSocket::addInbound(std::uint64_t sessionId, const SessionKey& key, std::string peer) {
    std::lock_guard lock(lock_);
    inbound_[sessionId] =
        Inbound{std::move(peer), std::make_unique<DatagramOpener>(sessionId, key)};
}

void MediaSocket::removeInbound(std::uint64_t sessionId) {
    std::lock_guard lock(lock_);
    inbound_.erase(sessionId);
}

bool MediaSocket::send(DatagramSealer& sealer, std::uint32_t ipv4, std::uint16_t port,
                       std::span<const std::byte> message) {
    if (port_ == 0 || ipv4 == 0 || port == 0) return false;
    const std::vector<std::byte> datagram = sealer.seal(message);
    if (datagram.empty()) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ipv4);
    to.sin_port = htons(port);
    return ::sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(datagram.size());
}

void MediaSocket::run() {
    std::vector<std::byte> buffer(65'536);
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        while (true) {
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0) break;
            const std::span<const std::byte> datagram(buffer.data(), static_cast<std::size_t>(got));
            const auto session = datagramSession(datagram);
            if (!session) continue;
            std::string peer;
            std::optional<std::vector<std::byte>> message;
            bool first = false;
            {
                std::lock_guard lock(lock_);
                const auto it = inbound_.find(*session);
                if (it == inbound_.end()) continue;
                message = it->second.opener->open(datagram);
                if (!message) continue;
                first = !std::exchange(it->second.heard, true);
                peer = it->second.peer;
            }
            if (first && callbacks_.heard) callbacks_.heard(*session);
            if (!message->empty() && callbacks_.message) callbacks_.message(peer, *message);
        }
    }
}

}  // namespace merrowfax::lan
