// An ordered set of keys under one lock, used as the registry of live handles.
#pragma once

#include <boost/thread/mutex.hpp>
#include <set>

namespace VexoSource {

template <class Key>
class VexoTree {
public:
    bool Insert(const Key& key) {
        boost::mutex::scoped_lock lock(m_mutex);
        return m_keys.insert(key).second;
    }
    bool Erase(const Key& key) {
        boost::mutex::scoped_lock lock(m_mutex);
        return m_keys.erase(key) != 0;
    }
    bool Contains(const Key& key) const {
        boost::mutex::scoped_lock lock(m_mutex);
        return m_keys.count(key) != 0;
    }
    std::size_t Size() const {
        boost::mutex::scoped_lock lock(m_mutex);
        return m_keys.size();
    }
    // Runs fn(found) while holding the lock, so a caller can act on a key atomically with
    // the lookup.
    template <class Fn>
    auto WithLock(const Key& key, Fn&& fn) {
        boost::mutex::scoped_lock lock(m_mutex);
        return fn(m_keys.count(key) != 0);
    }

private:
    mutable boost::mutex m_mutex;
    std::set<Key> m_keys;
};

}  // namespace VexoSource
