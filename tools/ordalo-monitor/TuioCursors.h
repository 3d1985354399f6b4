// TUIO 1.1 "/tuio/2Dcur" cursors from raw UDP datagrams, for ordalo-monitor.
//
// The decoder is our own and checks every length against the datagram, because the monitor
// listens on a port anyone on the machine can send to: a datagram that is not well-formed OSC
// is dropped whole and never read past its end. Senders differ in message order (ours sends
// "set" before "alive", the TUIO reference order is "alive" before "set") and in how often they
// repeat "set" for a cursor that did not move, so positions are remembered per session id and
// a frame is what "alive" lists when "fseq" arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace OrdaloMonitor {

struct Cursor {
    int32_t id;
    float x, y;  // normalised screen position, y down
};

struct TuioFrame {
    int32_t fseq;
    std::vector<Cursor> cursors;  // ordered by id
};

class TuioCursors {
public:
    // Bounds what a sender that never sends "alive" can make us remember.
    static constexpr size_t kMaxKnownCursors = 4096;
    // Bundles inside bundles are legal OSC; a bound keeps a hostile datagram from recursing deep.
    static constexpr int kMaxBundleDepth = 8;

    // Frames closed by "fseq" messages of the datagram, in order (usually one). A malformed
    // datagram changes nothing and counts as rejected.
    std::vector<TuioFrame> Feed(const uint8_t* data, size_t size);

    uint64_t rejected() const { return rejected_; }

private:
    std::map<int32_t, Cursor> known_;
    std::vector<int32_t> alive_;
    uint64_t rejected_ = 0;
};

}  // namespace OrdaloMonitor
