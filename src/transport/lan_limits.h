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
// Connections from one address that have not named themselves yet.
inline constexpr std::size_t kMaxUnnamedPerAddress = 16;
// Devices whose certificate is remembered by key.
inline constexpr std::size_t kMaxKnownDevices = 1024;
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
