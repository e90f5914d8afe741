#pragma once

#include <cstddef>
#include <cstdint>

// What a device on the network may make this one hold. Every peer is a
// stranger until proven otherwise, so each of these bounds memory or time.
namespace merrowfax::lan {

// A message on a session's stream: the largest envelope with room to spare.
inline constexpr std::size_t kMaxFrame = 2 * 1024 * 1024 + 64;
// The first message of a connection, which names it.
inline constexpr std::size_t kMaxHello = 4096;
// A file takes what an attachment may be; a snapshot of the whole store more.
inline constexpr std::uint64_t kMaxFileResource = 20'000'000;
inline constexpr std::uint64_t kMaxSnapshotResource = 64ull * 1024 * 1024;
// Connections at once, named or not; more are closed as they come.
inline constexpr std::size_t kMaxConnections = 128;
// Connections that have not named themselves yet, in all and from one address.
inline constexpr std::size_t kMaxUnnamed = 48;
inline constexpr std::size_t kMaxUnnamedPerAddress = 16;
// Sessions of devices that have not proven a number, in all and from one
// address. What these leave of kMaxConnections is kept for proven devices
// and their transfers.
inline constexpr std::size_t kMaxUnprovenSessions = 32;
inline constexpr std::size_t kMaxUnprovenPerAddress = 4;
// Invitations waiting for an answer; devices proven before may use them all,
// the others only kStrangerInvitations of them.
inline constexpr std::size_t kMaxInvitations = 16;
inline constexpr std::size_t kStrangerInvitations = 12;
// Proven devices whose certificate is remembered by key.
inline constexpr std::size_t kMaxKnownDevices = 1024;
// Bytes held in messages that have not arrived whole, over all connections:
// past this the connection holding the most is cut.
inline constexpr std::size_t kMaxIncompleteBytes = 32 * 1024 * 1024;
// A resource must keep arriving at least this fast (bytes per second,
// averaged over lanRateWindow), or it is cut and its download slot freed.
inline constexpr std::uint64_t kMinResourceRate = 32 * 1024;
// A file whose transfer failed before it went out whole is offered this
// many times in all, while the session lasts.
inline constexpr int kResourceAttempts = 4;
// Resources arriving at once, in all and from one device.
inline constexpr std::size_t kMaxDownloads = 16;
inline constexpr std::size_t kMaxDownloadsPerPeer = 4;
// Bytes waiting to go out on one stream: a reader that falls this far
// behind is cut off.
inline constexpr std::size_t kMaxBacklog = 16 * 1024 * 1024;
// Media sent on a stream is dropped while this much is still waiting.
inline constexpr std::size_t kMediaBusyBacklog = 64 * 1024;
// A resource is written in pieces of this size, with at most four waiting.
inline constexpr std::size_t kResourceChunk = 64 * 1024;
// Media messages from other threads waiting for the stream.
inline constexpr int kMaxQueuedMedia = 32;

}  // namespace merrowfax::lan
