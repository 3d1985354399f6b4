#include "TuioStreamCheck.h"

#include <lo/lo.h>
#include <tinyxml.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "OrdaloOSXPlugin.h"

namespace soak {

namespace {

constexpr int32_t kMaxTouchId = 239;  // five slots of 48 blob ids

struct Arg {
    char type = 0;
    std::string text;
    int32_t integer = 0;
    double number = 0;
};
using Message = std::vector<Arg>;

struct Touch {
    int32_t id;
    double x, y;
};

std::string Quoted(const std::string& s) { return "'" + s.substr(0, 40) + "'"; }

// The rule both routes share. `setTypes` are the type tags of a set message on this route.
std::string CheckMessages(const std::vector<Message>& messages, const std::string& setTypes,
                          FrameSummary& out, std::vector<Touch>& sets) {
    enum class Phase { Sets, AfterAlive, AfterFseq } phase = Phase::Sets;
    std::set<int32_t> setIds;
    for (std::size_t k = 0; k < messages.size(); ++k) {
        const Message& m = messages[k];
        std::string types;
        for (const Arg& a : m) types += a.type;
        const std::string where = "message " + std::to_string(k) + ": ";
        if (types.empty() || types[0] != 's') return where + "does not begin with a command";
        const std::string& command = m[0].text;
        if (phase == Phase::AfterFseq) return where + "follows fseq";
        if (command == "set") {
            if (phase != Phase::Sets) return where + "set after alive";
            if (types != setTypes) return where + "set with types " + types;
            const Touch t{m[1].integer, m[2].number, m[3].number};
            if (t.id < 0 || t.id > kMaxTouchId) return where + "id " + std::to_string(t.id);
            if (!setIds.insert(t.id).second) return where + "second set of id " + std::to_string(t.id);
            if (!(t.x >= 0 && t.x <= 1 && t.y >= 0 && t.y <= 1)) {
                return where + "position " + std::to_string(t.x) + ", " + std::to_string(t.y);
            }
            // Width and height close every set message, on both routes.
            for (std::size_t i = 4; i < m.size(); ++i) {
                if (!std::isfinite(m[i].number) || (i + 2 >= m.size() && m[i].number < 0)) {
                    return where + "value " + std::to_string(i) + " is " +
                           std::to_string(m[i].number);
                }
            }
            sets.push_back(t);
        } else if (command == "alive") {
            if (phase != Phase::Sets) return where + "second alive";
            if (types.find_first_not_of('i', 1) != std::string::npos) {
                return where + "alive with types " + types;
            }
            std::set<int32_t> alive;
            for (std::size_t i = 1; i < m.size(); ++i) {
                if (!alive.insert(m[i].integer).second) {
                    return where + "alive lists id " + std::to_string(m[i].integer) + " twice";
                }
                out.ids.push_back(m[i].integer);
            }
            if (alive != setIds) return where + "alive does not list exactly the set ids";
            phase = Phase::AfterAlive;
        } else if (command == "fseq") {
            if (phase != Phase::AfterAlive) return where + "fseq without alive before it";
            if (types != "si") return where + "fseq with types " + types;
            out.fseq = m[1].integer;
            phase = Phase::AfterFseq;
        } else {
            return where + "unknown command " + Quoted(command);
        }
    }
    return phase == Phase::AfterFseq ? std::string() : "no fseq message";
}

bool ParseWhole(const char* text, char type, Arg& a) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    if (type == 'i') {
        const long v = std::strtol(text, &end, 10);
        if (*end || errno || v < INT32_MIN || v > INT32_MAX) return false;
        a.integer = static_cast<int32_t>(v);
        a.number = static_cast<double>(v);
        return true;
    }
    a.number = std::strtod(text, &end);
    return *end == '\0' && errno == 0 && std::isfinite(a.number);
}

std::string ReadXmlMessage(const TiXmlElement& e, Message& m) {
    const char* name = e.Attribute("NAME");
    if (e.ValueStr() != "MESSAGE" || !name || std::strcmp(name, "/tuio/2Dcur") != 0) {
        return "element " + Quoted(e.ValueStr()) + " is not a /tuio/2Dcur MESSAGE";
    }
    for (const TiXmlNode* n = e.FirstChild(); n; n = n->NextSibling()) {
        const TiXmlElement* arg = n->ToElement();
        if (!arg || arg->ValueStr() != "ARGUMENT" || arg->FirstChild()) {
            return "MESSAGE holds something else than empty ARGUMENT elements";
        }
        const char* type = arg->Attribute("TYPE");
        const char* value = arg->Attribute("VALUE");
        if (!type || !value || std::strlen(type) != 1 || !std::strchr("sif", type[0])) {
            return "ARGUMENT without TYPE s|i|f and VALUE";
        }
        Arg a;
        a.type = type[0];
        a.text = value;
        if (a.type != 's' && !ParseWhole(value, a.type, a)) {
            return std::string("ARGUMENT of type ") + type + " has value " + Quoted(value);
        }
        m.push_back(a);
    }
    return std::string();
}

// The gesture plugin is the route's real reader: it must see the very touches of the text.
std::string CheckPluginReading(const std::string& packet, const std::vector<Touch>& sets) {
    using ordalo::sdk::gesturelibrary::FrameParser;
    try {
        const auto frame = FrameParser::parse<float>(packet);
        if (frame.size() != sets.size()) {
            return "plugin reads " + std::to_string(frame.size()) + " contacts, not " +
                   std::to_string(sets.size());
        }
        auto set = sets.begin();
        for (const auto& contact : frame) {
            if (contact.id != static_cast<unsigned long>(set->id) ||
                std::fabs(contact.location.x - set->x) > 1e-6 ||
                std::fabs(contact.location.y - set->y) > 1e-6) {
                return "plugin reads contact " + std::to_string(contact.id) + " otherwise";
            }
            ++set;
        }
    } catch (const std::exception& e) {
        return std::string("plugin rejects the packet: ") + e.what();
    }
    return std::string();
}

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

std::string ReadOscMessage(const uint8_t* data, std::size_t size, Message& m) {
    std::vector<uint8_t> copy(data, data + size);  // liblo reads through aligned pointers
    const char* path = lo_get_path(copy.data(), static_cast<ssize_t>(size));
    if (!path || std::strcmp(path, "/tuio/2Dcur") != 0) return "address is not /tuio/2Dcur";
    int result = 0;
    lo_message message = lo_message_deserialise(copy.data(), size, &result);
    if (!message) return "liblo rejects the message (error " + std::to_string(result) + ")";
    std::string error;
    if (lo_message_length(message, "/tuio/2Dcur") != size) error = "message has trailing bytes";
    const char* types = lo_message_get_types(message);
    lo_arg** argv = lo_message_get_argv(message);
    for (int i = 0; error.empty() && i < lo_message_get_argc(message); ++i) {
        Arg a;
        a.type = types[i];
        const char* raw = reinterpret_cast<const char*>(argv[i]);
        float f = 0;
        switch (a.type) {
            case 's': a.text = raw; break;
            case 'i':
                std::memcpy(&a.integer, raw, sizeof a.integer);
                a.number = a.integer;
                break;
            case 'f':
                std::memcpy(&f, raw, sizeof f);
                a.number = f;
                break;
            default: error = std::string("argument of type ") + a.type; break;
        }
        m.push_back(a);
    }
    lo_message_free(message);
    return error;
}

}  // namespace

std::string CheckXmlFrame(const std::string& packet, FrameSummary& out) {
    out = FrameSummary{};
    static const std::string kHead = "<OSCPACKET COMPANY=\"Ostrel\" ";
    static const std::string kTail = "</OSCPACKET>";
    if (packet.compare(0, kHead.size(), kHead) != 0) return "does not begin with " + kHead;
    if (packet.size() < kTail.size() ||
        packet.compare(packet.size() - kTail.size(), kTail.size(), kTail) != 0) {
        return "does not end with " + kTail;
    }
    for (const char c : packet) {
        if (c < 0x20 || c > 0x7e) return "holds a byte outside printable ASCII";
    }
    TiXmlDocument document;
    document.Parse(packet.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (document.Error()) return std::string("not XML: ") + document.ErrorDesc();
    const TiXmlElement* root = document.RootElement();
    if (!root || document.FirstChild() != root || root->NextSibling()) {
        return "not one OSCPACKET element";
    }
    const char* port = root->Attribute("PORT");
    const char* time = root->Attribute("TIME");
    Arg scratch;
    if (!root->Attribute("ADDRESS") || !port || std::strcmp(port, "3000") != 0 || !time ||
        !ParseWhole(time, 'f', scratch) || scratch.number < 0) {
        return "OSCPACKET attributes ADDRESS, PORT 3000, TIME are not all there";
    }
    std::vector<Message> messages;
    for (const TiXmlNode* n = root->FirstChild(); n; n = n->NextSibling()) {
        const TiXmlElement* e = n->ToElement();
        if (!e) return "OSCPACKET holds text";
        messages.emplace_back();
        const std::string error = ReadXmlMessage(*e, messages.back());
        if (!error.empty()) return error;
    }
    std::vector<Touch> sets;
    const std::string error = CheckMessages(messages, "sifffffff", out, sets);
    return error.empty() ? CheckPluginReading(packet, sets) : error;
}

std::string CheckOscFrame(const uint8_t* data, std::size_t size, FrameSummary& out) {
    out = FrameSummary{};
    static const uint8_t kBundle[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    if (size < 16 || size % 4 != 0 || std::memcmp(data, kBundle, 8) != 0) {
        return "not an OSC bundle of " + std::to_string(size) + " bytes";
    }
    if ((uint64_t(BigEndian32(data + 8)) << 32 | BigEndian32(data + 12)) != 1) {
        return "time tag is not 'immediately'";
    }
    std::vector<Message> messages;
    for (std::size_t at = 16; at < size;) {
        const std::size_t left = size - at;
        const uint32_t length = left >= 4 ? BigEndian32(data + at) : 0;
        if (length == 0 || length % 4 != 0 || length > left - 4) {
            return "element at byte " + std::to_string(at) + " has a bad size";
        }
        if (data[at + 4] == '#') return "nested bundle";
        messages.emplace_back();
        const std::string error = ReadOscMessage(data + at + 4, length, messages.back());
        if (!error.empty()) return "message " + std::to_string(messages.size() - 1) + ": " + error;
        at += 4 + length;
    }
    std::vector<Touch> sets;
    return CheckMessages(messages, "sifffff", out, sets);
}

std::string StreamTally::Take(const std::string& verdict, const FrameSummary& frame) {
    std::string fault = verdict;
    if (fault.empty() && m_started) {
        const uint32_t step = static_cast<uint32_t>(frame.fseq) - m_last;
        if (step == 0) {
            fault = "frame number " + std::to_string(frame.fseq) + " repeated";
        } else if (step >= 0x80000000u) {
            fault = "frame number went back from " + std::to_string(int32_t(m_last)) + " to " +
                    std::to_string(frame.fseq);
        } else {
            missed += step - 1;
        }
    }
    if (verdict.empty()) {
        // An ordering fault still moves the reference on, so one jump is reported once.
        m_started = true;
        m_last = static_cast<uint32_t>(frame.fseq);
    }
    if (!fault.empty()) {
        ++malformed;
        if (errors.size() < kKeptErrors) errors.push_back(fault);
        return fault;
    }
    ++frames;
    touches += frame.ids.size();
    if (!frame.ids.empty()) ++busy;
    if (frame.ids.size() > maxTouches) maxTouches = frame.ids.size();
    return fault;
}

void NulSplitter::Feed(const char* data, std::size_t size,
                       const std::function<void(const std::string&)>& onPacket) {
    while (size > 0) {
        const void* nul = std::memchr(data, '\0', size);
        const std::size_t take =
                nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size;
        m_pending.append(data, take);
        if (nul || m_pending.size() > kMaxPacket) {
            onPacket(m_pending);
            m_pending.clear();
        }
        const std::size_t used = nul ? take + 1 : take;
        data += used;
        size -= used;
    }
}

}  // namespace soak
