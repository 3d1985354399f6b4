// Pieces every recognizer shares: the millimetre ruler of the touch surface, the adapters that
// let it walk a recognizer's contact map, event-text number formats and elapsed time.
#ifndef ORDALO_OSX_MAPPER_GESTURE_SUPPORT_H
#define ORDALO_OSX_MAPPER_GESTURE_SUPPORT_H

#include <cmath>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>

#include "OrdaloOSXMapper.h"

namespace ordalo {
namespace sdk {
namespace gesturelibrary {

using ContactMap = std::map<std::uint64_t, const Contact<float>*>;

// Reads one member of a record.
template <typename Record, typename Property, Property Record::*member>
struct PropertyFaitour {
    static const Property& get(const Record& record) { return record.*member; }
};

// Walks a map of record pointers and yields one property of each record.
template <typename MapIterator, typename Faitour>
class LinearIteratorAdapterOfMapWithPropertyFaitour {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::remove_reference_t<decltype(Faitour::get(*std::declval<MapIterator>()->second))>;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    explicit LinearIteratorAdapterOfMapWithPropertyFaitour(MapIterator at) : at_(at) {}
    reference operator*() const { return Faitour::get(*at_->second); }
    LinearIteratorAdapterOfMapWithPropertyFaitour& operator++() {
        ++at_;
        return *this;
    }
    bool operator==(const LinearIteratorAdapterOfMapWithPropertyFaitour& o) const {
        return at_ == o.at_;
    }
    bool operator!=(const LinearIteratorAdapterOfMapWithPropertyFaitour& o) const {
        return at_ != o.at_;
    }

private:
    MapIterator at_;
};

using LocationFaitour = PropertyFaitour<Contact<float>, Point<float>, &Contact<float>::location>;
using LocationIterator =
        LinearIteratorAdapterOfMapWithPropertyFaitour<ContactMap::const_iterator, LocationFaitour>;

// Largest distance between the fingers of a recognizer, in mm (0 for fewer than two).
inline float maxDistanceMm(const ScreenRuler& ruler, const ContactMap& contacts) {
    return ruler.computeMaxDistance<float>(LocationIterator(contacts.begin()),
                                           LocationIterator(contacts.end()));
}

// ms from `since` to `now`, negative when the clock went back.
inline std::int64_t elapsedMs(std::uint64_t now, std::uint64_t since) {
    return static_cast<std::int64_t>(now - since);
}

// "Stream" numbers: fixed point with 8 decimals.
void appendFixed8(std::string& text, double value);
// "%8f" numbers: 6 decimals, at least 8 characters.
void appendPrintf8f(std::string& text, double value);

}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

#endif
