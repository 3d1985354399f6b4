// The TUIO text parser: substring search for the few tokens it needs, nothing more.
#include <cstring>
#include <locale>
#include <memory>
#include <sstream>
#include <vector>

#include "OrdaloOSXPlugin.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

namespace {

constexpr const char* kAliveToken = "alive\"/>";
constexpr const char* kSetToken = "set\"/>";
constexpr const char* kMessageEnd = "</MESSAGE>";
constexpr const char* kValueToken = "VALUE=\"";
constexpr unsigned kValuesPerSet = 8;

// Converts one value as a stream does, failing on anything that does not start a number. The
// classic locale keeps "0.5" a number whatever locale the host process has chosen.
template <typename V>
V convert(const std::string& text) {
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    stream.exceptions(std::ios_base::badbit | std::ios_base::failbit);
    V value{};
    stream >> value;
    return value;
}

}  // namespace

FrameParser::InvalidTuioMessageException::InvalidTuioMessageException()
    : std::runtime_error("invalid TUIO message") {}

unsigned FrameParser::countCursors(const std::string& text) {
    const std::size_t alive = text.find(kAliveToken);
    if (alive == std::string::npos) return 0;
    const std::size_t begin = alive + std::strlen(kAliveToken);
    const std::size_t end = text.find(kMessageEnd, begin);
    if (end == std::string::npos || end <= begin) return 0;
    unsigned count = 0;
    for (std::size_t at = text.find("/>", begin); at != std::string::npos && at + 2 <= end;
         at = text.find("/>", at + 2))
        ++count;
    return count;
}

template <typename T>
void FrameParser::extractCursor(const std::string& arguments, Contact<T>* out) {
    std::size_t from = 0;
    for (unsigned index = 0; index < kValuesPerSet; ++index) {
        const std::size_t begin = arguments.find(kValueToken, from);
        if (begin == std::string::npos)
            throw std::runtime_error("begin of token \"VALUE\" not found");
        const std::size_t start = begin + std::strlen(kValueToken);
        const std::size_t end = arguments.find('"', start);
        if (end == std::string::npos) throw std::runtime_error("end of token \"VALUE\" not found");
        from = start;
        const std::string value = arguments.substr(start, end - start);
        switch (index) {
            case 0: out->id = convert<unsigned long>(value); break;
            case 1: out->location.x = convert<T>(value); break;
            case 2: out->location.y = convert<T>(value); break;
            case 6: out->extent.x = convert<T>(value); break;
            case 7: out->extent.y = convert<T>(value); break;
            default: break;  // velocities and area: present, never used
        }
    }
}

template <typename T>
void FrameParser::extractCursors(const std::string& text, Contact<T>* out, unsigned count) {
    std::size_t from = 0;
    for (unsigned k = 0; k < count; ++k) {
        const std::size_t set = text.find(kSetToken, from);
        const std::size_t start = set == std::string::npos ? set : set + std::strlen(kSetToken);
        const std::size_t end =
                start == std::string::npos ? start : text.find(kMessageEnd, start);
        if (end == std::string::npos || end <= start)
            throw std::runtime_error("token \"set\" not found");
        extractCursor(text.substr(start, end - start), out + k);
        from = end;
    }
}

template <typename T>
Frame<T> FrameParser::parse(const std::string& text) {
    const unsigned count = countCursors(text);
    if (count == 0) return Frame<T>();
    std::vector<Contact<T>> records(count);
    for (Contact<T>& record : records) {
        record = Contact<T>{};
        record.timestamp = nowMs();
    }
    try {
        extractCursors(text, records.data(), count);
    } catch (const std::runtime_error&) {
        throw InvalidTuioMessageException();
    }
    return Frame<T>(records.data(), records.size());
}

template ODOSX_API Frame<float> FrameParser::parse<float>(const std::string&);
template ODOSX_API void FrameParser::extractCursors<float>(const std::string&, Contact<float>*,
                                                           unsigned);
template ODOSX_API void FrameParser::extractCursor<float>(const std::string&, Contact<float>*);

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo
