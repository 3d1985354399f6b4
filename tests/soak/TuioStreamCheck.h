// Verdicts on the service's TUIO output as a client sees it, for the soak run (scripts/soak).
//
// Stricter than any client: a frame is well-formed only when it is exactly what the service's
// default profile sends. XML packets must parse as XML (TinyXML) with the expected elements,
// argument types and numbers, and the gesture plugin must read the same contacts from them; OSC
// datagrams are cut into the bundle's elements here and each message is decoded by liblo. Both
// routes then share one rule for the messages: every "set" (id 0..239, position within 0..1,
// finite extent), then one "alive" listing exactly the ids of the sets, then one "fseq".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace soak {

struct FrameSummary {
    int32_t fseq = 0;
    std::vector<int32_t> ids;  // in "alive" order
};

// Empty when `packet` (one XML text packet, without its terminating NUL) is well-formed;
// otherwise what is wrong with it.
std::string CheckXmlFrame(const std::string& packet, FrameSummary& out);

// The same for one UDP datagram.
std::string CheckOscFrame(const uint8_t* data, std::size_t size, FrameSummary& out);

// One route's counts. Frame numbers only go forward: a slow TCP client may miss frames (the
// service drops whole packets for it), but never sees one twice or an older one after a newer.
class StreamTally {
public:
    static constexpr std::size_t kKeptErrors = 20;

    // Takes one frame and its verdict; returns the fault found (the verdict, or an ordering
    // fault), empty for a good frame.
    std::string Take(const std::string& verdict, const FrameSummary& frame);

    uint64_t frames = 0;     // well-formed frames
    uint64_t touches = 0;    // touches summed over them
    uint64_t busy = 0;       // frames with at least one touch
    uint64_t maxTouches = 0;
    uint64_t malformed = 0;  // frames with a fault, ordering included
    uint64_t missed = 0;     // frame numbers skipped between consecutive frames
    std::vector<std::string> errors;  // the first kKeptErrors faults

private:
    bool m_started = false;
    uint32_t m_last = 0;
};

// Cuts a TCP byte stream into its NUL-terminated packets. A packet that grows past kMaxPacket
// without its NUL is handed on as it is (and fails its check) so that memory stays bounded.
class NulSplitter {
public:
    static constexpr std::size_t kMaxPacket = 1 << 20;

    void Feed(const char* data, std::size_t size,
              const std::function<void(const std::string& packet)>& onPacket);
    // Bytes of a packet whose NUL has not arrived yet; dropped when the connection ends.
    std::size_t Pending() const { return m_pending.size(); }
    void Clear() { m_pending.clear(); }

private:
    std::string m_pending;
};

}  // namespace soak
