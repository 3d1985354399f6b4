#include "TuioCursors.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace OrdaloMonitor {

namespace {

struct Arg {
    char type;
    int32_t i = 0;
    double number = 0;  // i, f, d and h as a number
    std::string s;
};

struct Message {
    std::string address;
    std::vector<Arg> args;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    size_t left() const { return static_cast<size_t>(end_ - p_); }

    bool u32(uint32_t& v) {
        if (left() < 4) return false;
        v = uint32_t(p_[0]) << 24 | uint32_t(p_[1]) << 16 | uint32_t(p_[2]) << 8 | p_[3];
        p_ += 4;
        return true;
    }
    bool u64(uint64_t& v) {
        uint32_t hi = 0, lo = 0;
        if (!u32(hi) || !u32(lo)) return false;
        v = uint64_t(hi) << 32 | lo;
        return true;
    }
    // An OSC string: text, a NUL, padding to a multiple of four.
    bool str(std::string& s) {
        const void* nul = std::memchr(p_, 0, left());
        if (!nul) return false;
        const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p_);
        const size_t padded = (length + 4) & ~size_t(3);
        if (padded > left()) return false;
        s.assign(reinterpret_cast<const char*>(p_), length);
        p_ += padded;
        return true;
    }
    bool skip(uint64_t n) {
        if (n > left()) return false;
        p_ += n;
        return true;
    }
    const uint8_t* here() const { return p_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

bool ParseArg(Reader& r, char type, Arg& a) {
    a.type = type;
    uint32_t v = 0;
    uint64_t w = 0;
    switch (type) {
        case 'i':
            if (!r.u32(v)) return false;
            a.i = static_cast<int32_t>(v);
            a.number = a.i;
            return true;
        case 'f': {
            if (!r.u32(v)) return false;
            float f;
            std::memcpy(&f, &v, sizeof f);
            a.number = f;
            return true;
        }
        case 'd': {
            if (!r.u64(w)) return false;
            double d;
            std::memcpy(&d, &w, sizeof d);
            a.number = d;
            return true;
        }
        case 'h':
            if (!r.u64(w)) return false;
            a.number = static_cast<double>(static_cast<int64_t>(w));
            return true;
        case 't':
            return r.u64(w);
        case 's':
        case 'S':
            return r.str(a.s);
        case 'b':
            if (!r.u32(v)) return false;
            return r.skip((uint64_t(v) + 3) & ~uint64_t(3));
        case 'c':
        case 'r':
        case 'm':
            return r.u32(v);
        case 'T':
        case 'F':
        case 'N':
        case 'I':
        case '[':
        case ']':
            return true;
        default:
            return false;  // without its size the rest of the message cannot be read
    }
}

bool ParseMessage(Reader& r, Message& m) {
    std::string tags;
    if (!r.str(m.address) || m.address.empty() || m.address[0] != '/') return false;
    // Messages without a type tag string (pre-1.0 OSC) carry nothing we could read.
    if (r.left() == 0) return true;
    if (!r.str(tags) || tags.empty() || tags[0] != ',') return false;
    for (size_t k = 1; k < tags.size(); ++k) {
        Arg a;
        if (!ParseArg(r, tags[k], a)) return false;
        m.args.push_back(std::move(a));
    }
    return r.left() == 0;
}

bool ParsePacket(const uint8_t* data, size_t size, int depth, std::vector<Message>& out) {
    static const char kBundle[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};
    if (size % 4 != 0) return false;
    if (size >= 8 && std::memcmp(data, kBundle, 8) == 0) {
        if (depth >= TuioCursors::kMaxBundleDepth) return false;
        Reader r(data + 8, size - 8);
        uint64_t timeTag = 0;
        if (!r.u64(timeTag)) return false;
        while (r.left() > 0) {
            uint32_t elementSize = 0;
            if (!r.u32(elementSize) || elementSize > r.left()) return false;
            if (!ParsePacket(r.here(), elementSize, depth + 1, out)) return false;
            r.skip(elementSize);
        }
        return true;
    }
    Reader r(data, size);
    Message m;
    if (!ParseMessage(r, m)) return false;
    out.push_back(std::move(m));
    return true;
}

bool IsNumber(const Arg& a) { return a.type == 'i' || a.type == 'f' || a.type == 'd'; }

}  // namespace

std::vector<TuioFrame> TuioCursors::Feed(const uint8_t* data, size_t size) {
    std::vector<Message> messages;
    std::vector<TuioFrame> frames;
    if (data == nullptr || size == 0 || !ParsePacket(data, size, 0, messages)) {
        ++rejected_;
        return frames;
    }
    for (const Message& m : messages) {
        if (m.address != "/tuio/2Dcur" || m.args.empty() || m.args[0].type != 's') continue;
        const std::string& command = m.args[0].s;
        if (command == "set") {
            if (m.args.size() < 4 || m.args[1].type != 'i' || !IsNumber(m.args[2]) ||
                !IsNumber(m.args[3])) {
                continue;
            }
            const int32_t id = m.args[1].i;
            if (known_.size() >= kMaxKnownCursors && known_.count(id) == 0) continue;
            known_[id] = {id, static_cast<float>(m.args[2].number),
                          static_cast<float>(m.args[3].number)};
        } else if (command == "alive") {
            alive_.clear();
            for (size_t k = 1; k < m.args.size(); ++k) {
                if (m.args[k].type == 'i') alive_.push_back(m.args[k].i);
            }
            std::sort(alive_.begin(), alive_.end());
            alive_.erase(std::unique(alive_.begin(), alive_.end()), alive_.end());
            for (auto it = known_.begin(); it != known_.end();) {
                it = std::binary_search(alive_.begin(), alive_.end(), it->first)
                         ? std::next(it)
                         : known_.erase(it);
            }
        } else if (command == "fseq") {
            if (m.args.size() < 2 || m.args[1].type != 'i') continue;
            TuioFrame frame{m.args[1].i, {}};
            for (int32_t id : alive_) {
                const auto found = known_.find(id);
                if (found != known_.end()) frame.cursors.push_back(found->second);
            }
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

}  // namespace OrdaloMonitor
