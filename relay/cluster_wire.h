#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// What the nodes of a cluster say to each other over NATS, and the checks of
// what they hear: another node may be buggy, so everything is bounded and
// validated before it reaches a connection.
namespace merrowfax::relay::cluster {

// Subjects. Canonical numbers are plain NATS tokens.
inline constexpr std::string_view kInbox = "mfx.n.";   // + NUMBER: to its connections
inline constexpr std::string_view kState = "mfx.p.";   // + NUMBER: a node's state for it
inline constexpr char kBeats[] = "mfx.hb";             // heartbeats and goodbyes
inline constexpr std::string_view kAcks = "mfx.ack.";  // + NODE.TOKEN: "a connection took it"

inline constexpr std::size_t kNodeId = 16;  // lower-case hex

// What travels on mfx.n.NUMBER: one kind byte, the sender's number behind its
// length byte (empty for queries and closings), then the payload.
inline constexpr char kRecord = 'r';       // a stamped record
inline constexpr char kMediaRecord = 'm';  // one a slow reader may lose (call audio)
inline constexpr char kFrame = 'f';        // a stamped media frame
inline constexpr char kQuery = 'q';        // the nodes holding NUMBER announce their state
inline constexpr char kClosing = 'k';      // close connections of these computers

std::string newNodeId();
bool isNodeId(std::string_view id);

void envelope(std::string& out, char kind, std::string_view sender, std::string_view payload);

struct Envelope {
    char kind = 0;
    std::string_view sender;
    std::string_view payload;
};
// Absent when malformed or of an unknown kind; a record or frame also when
// its sender is not a number or it is not what a node stamps for `to`: an
// object of a kind clients exchange, naming its sender and `to`, or a media
// frame naming its sender, within the service's message sizes.
std::optional<Envelope> openEnvelope(std::string_view data, const std::string& to,
                                     std::size_t maxText, std::size_t maxBinary);

// A node's state for one number: its connections there (when attached, in
// Unix ms, and their order on that node; none: the number left the node) and
// the number's book, {"node","conns":[[ms,order]...],"book","blocked","bookSet"}.
struct ConnKey {
    std::int64_t sinceMs = 0;
    std::uint64_t order = 0;
};
struct State {
    std::string node;
    std::vector<ConnKey> conns;
    std::vector<std::string> book;
    std::vector<std::string> blocked;
    bool bookSet = false;  // a connection set this book: it replaces the one held
};
std::string encodeState(std::string_view node, const std::vector<ConnKey>& conns,
                        const std::unordered_set<std::string>* book,
                        const std::unordered_set<std::string>* blocked, bool bookSet);
std::optional<State> parseState(std::string_view data, std::size_t maxConns, std::size_t maxBook);

struct Beat {
    std::string node;
    bool bye = false;
};
std::string encodeBeat(std::string_view node, bool bye);
std::optional<Beat> parseBeat(std::string_view data);

// The whole envelope of a closing: the computers' keyed tags, or all but them.
std::string encodeClosing(const std::vector<std::string>& computers, bool allBut);
struct Closing {
    std::vector<std::string> computers;
    bool allBut = false;
};
std::optional<Closing> parseClosing(std::string_view payload);

}  // namespace merrowfax::relay::cluster
