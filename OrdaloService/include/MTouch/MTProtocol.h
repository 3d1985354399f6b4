// Wire vocabulary shared by the host and the frame: packet identifiers, the request report
// layout and the records the frame answers with.
//
// Header-only and free of any framework dependency, so that the firmware emulator can use the
// very same records without linking the service.
//
// Every record is a plain sequence of bytes (alignment 1, no padding, trivially copyable): copy
// answer content into one with memcpy, or write one out byte for byte. Multi-byte fields are
// little-endian whatever the host; the OrdoLE* field types convert on read and on assignment,
// so `uint32_t x = cfg.LED_X;` and `cfg.LED_X = 64;` work and never perform an unaligned load.
// In a varargs call (printf-style logging) convert explicitly: `uint32_t(cfg.LED_X)`.
#ifndef MTOUCH_MTPROTOCOL_H
#define MTOUCH_MTPROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

// Packet identifiers. 16..54 are host requests whose answer carries the same number as its type;
// 10 and 20 arrive from the frame unasked.
enum : uint8_t {
    PACKET_IDEN_TOUCH_DATA = 10,
    PACKET_IDEN_READ_CONFIG = 16,
    PACKET_IDEN_QUERY_INFO = 18,
    PACKET_IDEN_IDLE = 20,
    PACKET_IDEN_SET_MODE = 21,
    PACKET_IDEN_GET_CALIBRATION = 24,
    PACKET_IDEN_GET_EFFECTS = 26,
    PACKET_IDEN_GET_SOFTWARE_MODE_INFO = 28,
    PACKET_IDEN_WAKE_UP = 31,
    PACKET_IDEN_GET_NVM_ITEM = 49,
    PACKET_IDEN_WATCHDOG_ENABLE = 52,
    PACKET_IDEN_FEED_WATCHDOG = 54,
};

// One HID report in either direction, report id byte included.
constexpr size_t ORDO_REPORT_SIZE = 64;
// Byte 0 of every request report.
constexpr uint8_t ORDO_REQUEST_REPORT_ID = 0x04;
// Request: [0] report id, [1] identifier, [2..4] zero, [5..63] payload.
// Input block: [0] report id, [1] type, [2] index<<4 | count, [3] state (low nibble),
// [4] checksum of the whole packet, [5..63] payload.
constexpr size_t ORDO_HEADER_SIZE = 5;
constexpr size_t ORDO_BLOCK_PAYLOAD = ORDO_REPORT_SIZE - ORDO_HEADER_SIZE;  // 59
constexpr size_t ORDO_MAX_REQUEST_PAYLOAD = ORDO_BLOCK_PAYLOAD;
// The block count is a nibble, so one packet spans at most 15 blocks.
constexpr size_t ORDO_MAX_BLOCKS = 15;
constexpr size_t ORDO_MAX_PACKET_CONTENT = ORDO_MAX_BLOCKS * ORDO_BLOCK_PAYLOAD;  // 885

// Operating modes of PACKET_IDEN_SET_MODE and OrdoQueryInfo::mode.
constexpr uint8_t ORDO_MODE_SOFTWARE = 3;

constexpr uint32_t NVM_MAGIC = 0xFCFC9900u;
constexpr uint32_t NVM_ITEM_LENGTH = 40;
constexpr size_t NVM_DATA_SIZE = 36;
constexpr uint32_t NVM_ITEM_PEN = 2;
constexpr uint32_t NVM_ITEM_SOLUTION = 8;
// First data word of a valid item 8.
constexpr uint32_t NVM_SOLUTION_TAG = 12;

// Little-endian field types of alignment 1.
struct OrdoLE16 {
    uint8_t b[2];
    operator uint16_t() const { return uint16_t(b[0] | (b[1] << 8)); }
    OrdoLE16& operator=(uint16_t v) {
        b[0] = uint8_t(v);
        b[1] = uint8_t(v >> 8);
        return *this;
    }
};

struct OrdoLE32 {
    uint8_t b[4];
    operator uint32_t() const {
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    OrdoLE32& operator=(uint32_t v) {
        for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
        return *this;
    }
};

struct OrdoLEF32 {
    OrdoLE32 bits;
    operator float() const {
        uint32_t u = bits;
        float f;
        std::memcpy(&f, &u, sizeof f);
        return f;
    }
    OrdoLEF32& operator=(float f) {
        uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        bits = u;
        return *this;
    }
};

// Answer to PACKET_IDEN_READ_CONFIG.
struct OrdoConfig {
    uint8_t reserved0;
    uint8_t version;  // 20 = firmware 2.0; older firmware is not supported
    uint8_t identity[8];
    uint8_t contacts;  // most touches the frame reports
    OrdoLE32 LED_X;
    OrdoLE32 LED_Y;
    OrdoLE32 LINEX;
    OrdoLE32 LINEY;
    OrdoLE32 LEDGAPX;
    OrdoLE32 LEDGAPY;
    uint8_t LCD_SIZE;  // 0 = the frame was never configured
    uint8_t reserved36[2];
};

// Answer to PACKET_IDEN_QUERY_INFO.
struct OrdoQueryInfo {
    uint8_t reserved0[9];
    uint8_t modeContacts;  // most touches in the current mode, when modeContactsValid is 1
    uint8_t reserved10[4];
    uint8_t modeContactsValid;
    uint8_t mode;  // ORDO_MODE_SOFTWARE, anything else is a hardware mode
    uint8_t reserved16[2];
};

// Answer to PACKET_IDEN_GET_SOFTWARE_MODE_INFO.
struct OrdoSfwInfo {
    uint8_t reserved0[15];
    OrdoLE32 tuioTcpMode;
    OrdoLE32 tuioUdpMode;
    OrdoLE32 mouseEnabled;
    OrdoLE32 win7Mode;
};

// Answer to PACKET_IDEN_GET_CALIBRATION. Corner coordinates use the full scale 0..32767.
struct OrdoCalib {
    OrdoLE32 enabled;
    OrdoLE16 points[16];  // points[k] sits at byte offset 4 + 2k
};

// Answer to PACKET_IDEN_GET_EFFECTS.
struct OrdoEffs {
    OrdoLE32 maxBlobs;
    OrdoLEF32 minBlobSize;
    OrdoLEF32 maxBlobSize;
    OrdoLEF32 maxBlobDistance;
    OrdoLE32 rightClickEnabled;
    OrdoLE32 rightClickDelayMs;
    OrdoLEF32 clickRange;
    OrdoLE32 doubleClickDelayMs;
    OrdoLE32 smoothLevel;
};

// Request payload and answer of PACKET_IDEN_GET_NVM_ITEM. An answer is valid only when magic is
// NVM_MAGIC.
struct NVMPacket {
    OrdoLE32 index;
    OrdoLE32 length;
    OrdoLE32 magic;
    uint8_t data[NVM_DATA_SIZE];

    uint32_t DataWord(size_t k) const {
        OrdoLE32 w;
        std::memcpy(w.b, data + 4 * k, 4);
        return w;
    }
    void SetDataWord(size_t k, uint32_t v) {
        OrdoLE32 w;
        w = v;
        std::memcpy(data + 4 * k, w.b, 4);
    }
};

#define ORDO_CHECK_RECORD(T, size)                                                    \
    static_assert(sizeof(T) == (size) && alignof(T) == 1, #T " must match the wire"); \
    static_assert(std::is_trivially_copyable<T>::value, #T " must be trivially copyable")
ORDO_CHECK_RECORD(OrdoConfig, 38);
ORDO_CHECK_RECORD(OrdoQueryInfo, 18);
ORDO_CHECK_RECORD(OrdoSfwInfo, 31);
ORDO_CHECK_RECORD(OrdoCalib, 36);
ORDO_CHECK_RECORD(OrdoEffs, 36);
ORDO_CHECK_RECORD(NVMPacket, 48);
#undef ORDO_CHECK_RECORD

// Sets the item index; with data also the length 40, the magic and min(length, 36) data bytes
// (the rest of the data is left as it was). Without a packet it fills and returns a
// process-wide one, which is shared by every caller and therefore not thread-safe.
inline NVMPacket* NVMFillPacket(const void* data, uint32_t length, uint32_t index,
                                NVMPacket* packet) {
    static NVMPacket shared;
    NVMPacket* p = packet ? packet : &shared;
    p->index = index;
    if (data) {
        p->length = NVM_ITEM_LENGTH;
        p->magic = NVM_MAGIC;
        std::memcpy(p->data, data, length < NVM_DATA_SIZE ? length : NVM_DATA_SIZE);
    }
    return p;
}

// The frame's identity as the service names it: 16 upper-case hex digits, bytes in order.
inline std::string OrdoIdentityHex(const uint8_t (&identity)[8]) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : identity) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

// Parses 16 hex digits (either case) into identity bytes; false on anything else.
inline bool OrdoParseIdentityHex(const std::string& text, uint8_t (&identity)[8]) {
    if (text.size() != 16) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    uint8_t out[8];
    for (size_t i = 0; i < 8; ++i) {
        int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    std::memcpy(identity, out, sizeof out);
    return true;
}

#endif  // MTOUCH_MTPROTOCOL_H
