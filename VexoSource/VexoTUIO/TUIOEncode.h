// Writers behind the TUIO routes: printf-exact fixed-point text and OSC 1.0
// big-endian encoding into caller-owned memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace VexoSource {

// Longest text TUIOWriteFixed6 writes: a sign, 39 integer digits, the point
// and six decimals, with room to spare.
constexpr std::size_t kTUIOFixed6MaxChars = 48;

// Writes `value` exactly as printf "%f" does (six decimals, ties to even,
// "-" for every negative value and negative zero, "nan"/"inf" as glibc spells
// them) and returns the end. Needs kTUIOFixed6MaxChars of room.
char* TUIOWriteFixed6(char* out, float value);

// Appends OSC 1.0 data to a growing buffer that is never shrunk, so once it
// has reached a frame's size the next frames write without allocating.
class TUIOOscWriter {
public:
    explicit TUIOOscWriter(std::vector<char>& buffer) : m_buffer(buffer) {}

    std::size_t Size() const { return m_size; }
    void Clear() { m_size = 0; }
    // Makes room for `bytes` more; every write below must be covered by one.
    void Reserve(std::size_t bytes) {
        if (m_size + bytes > m_buffer.size()) m_buffer.resize((m_size + bytes) * 2);
    }
    void Int(int32_t value) { Word(static_cast<uint32_t>(value)); }
    void Float(float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Word(bits);
    }
    // Pre-padded literal (a multiple of four bytes).
    void Padded(const char* data, std::size_t size) {
        std::memcpy(m_buffer.data() + m_size, data, size);
        m_size += size;
    }
    // A string of `size` characters with its NUL padding.
    void String(const char* data, std::size_t size) {
        const std::size_t padded = (size + 4) & ~std::size_t{3};
        std::memcpy(m_buffer.data() + m_size, data, size);
        std::memset(m_buffer.data() + m_size + size, 0, padded - size);
        m_size += padded;
    }
    // The type tags ",s" followed by `count` int32 tags, padded.
    void StringThenInts(std::size_t count) {
        char* p = m_buffer.data() + m_size;
        p[0] = ',';
        p[1] = 's';
        std::memset(p + 2, 'i', count);
        const std::size_t used = 2 + count;
        const std::size_t padded = (used + 4) & ~std::size_t{3};
        std::memset(p + used, 0, padded - used);
        m_size += padded;
    }
    // Leaves room for an element's size, filled in by EndElement.
    std::size_t BeginElement() {
        m_size += 4;
        return m_size;
    }
    void EndElement(std::size_t start) { Put(start - 4, static_cast<uint32_t>(m_size - start)); }
    void BeginBundleImmediate() { Padded("#bundle\0\0\0\0\0\0\0\0\1", 16); }

private:
    void Word(uint32_t value) {
        Put(m_size, value);
        m_size += 4;
    }
    void Put(std::size_t at, uint32_t value) {
        unsigned char* p = reinterpret_cast<unsigned char*>(m_buffer.data() + at);
        p[0] = static_cast<unsigned char>(value >> 24);
        p[1] = static_cast<unsigned char>(value >> 16);
        p[2] = static_cast<unsigned char>(value >> 8);
        p[3] = static_cast<unsigned char>(value);
    }

    std::vector<char>& m_buffer;
    std::size_t m_size = 0;
};

}  // namespace VexoSource
