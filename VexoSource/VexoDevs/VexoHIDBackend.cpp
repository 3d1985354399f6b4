#include "VexoDevs/VexoHIDBackend.h"

#include <dirent.h>
#include <errno.h>
#include <hidapi/hidapi.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

namespace VexoSource {

namespace {

void EnsureHidInit() {
    static std::once_flag once;
    std::call_once(once, [] { hid_init(); });
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// ---- real devices --------------------------------------------------------------------------

class HidapiLink : public VexoHIDLink {
public:
    HidapiLink(hid_device* dev, std::string path) : m_dev(dev), m_path(std::move(path)) {}
    ~HidapiLink() override { hid_close(m_dev); }

    int Read(u8* buffer, size_t length, int timeoutMs) override {
        return hid_read_timeout(m_dev, buffer, length, timeoutMs);
    }
    int Write(const u8* buffer, size_t length) override { return hid_write(m_dev, buffer, length); }
    bool GetCaps(VexoHIDCaps_S& caps) override {
        caps = {VEXO_DEFAULT_REPORT_SIZE, VEXO_DEFAULT_REPORT_SIZE, 0, 0};
        // hidraw publishes the descriptor in sysfs; elsewhere the fallback sizes stand.
        const std::string node = m_path.substr(m_path.find_last_of('/') + 1);
        std::ifstream in("/sys/class/hidraw/" + node + "/device/report_descriptor",
                         std::ios::binary);
        if (in) {
            std::vector<u8> desc((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
            VexoHIDParseReportDescriptor(desc.data(), desc.size(), caps);
        }
        return true;
    }

private:
    hid_device* m_dev;
    std::string m_path;
};

// ---- virtual frames ------------------------------------------------------------------------

constexpr int kWriteTimeoutMs = 1000;

#ifdef POLLRDHUP
constexpr short kHangUp = POLLHUP | POLLRDHUP;
#else
constexpr short kHangUp = POLLHUP;
#endif

class SocketLink : public VexoHIDLink {
public:
    explicit SocketLink(int fd) : m_fd(fd) {}
    ~SocketLink() override { close(m_fd); }

    int Read(u8* buffer, size_t length, int timeoutMs) override {
        pollfd p{m_fd, POLLIN | kHangUp, 0};
        int n = poll(&p, 1, timeoutMs);
        if (n < 0) return errno == EINTR ? 0 : -1;
        if (n == 0) return 0;
        ssize_t got = recv(m_fd, buffer, length, MSG_DONTWAIT);
        if (got > 0) return int(got);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        // An empty datagram reads like the end of the stream; only a hang-up is an unplug.
        if (got == 0 && !(p.revents & kHangUp)) return 0;
        return -1;  // peer closed: the frame was unplugged
    }
    // A frame that stops reading must not hold a writer (and with it the server's reset) for
    // ever: like a USB transfer, a report that cannot leave within its time-out fails.
    int Write(const u8* buffer, size_t length) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
        for (;;) {
            const ssize_t n = send(m_fd, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) return int(n);
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return -1;
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, int(left.count()) + 1);
        }
    }
    bool GetCaps(VexoHIDCaps_S& caps) override {
        caps = {VEXO_DEFAULT_REPORT_SIZE, VEXO_DEFAULT_REPORT_SIZE, 0x0001, 0xFF00};
        return true;
    }

private:
    int m_fd;
};

std::vector<std::string> EnumerateVirtual() {
    std::vector<std::string> paths;
    const char* dir = std::getenv(VEXO_VIRTUAL_DIR_ENV);
    if (!dir || !*dir) return paths;
    DIR* d = opendir(dir);
    if (!d) return paths;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".sock") != 0) continue;
        std::string full = std::string(dir) + "/" + name;
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names)
        paths.push_back(VEXO_VIRTUAL_PATH_PREFIX + std::string(dir) + "/" + n);
    return paths;
}

std::unique_ptr<VexoHIDLink> OpenVirtual(const std::string& path) {
    const std::string file = path.substr(std::strlen(VEXO_VIRTUAL_PATH_PREFIX));
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (file.empty() || file.size() >= sizeof addr.sun_path) return nullptr;
    std::memcpy(addr.sun_path, file.c_str(), file.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<SocketLink>(fd);
}

}  // namespace

bool VexoHIDIsVirtualPath(const std::string& path) {
    return StartsWith(path, VEXO_VIRTUAL_PATH_PREFIX);
}

std::vector<std::string> VexoHIDEnumerate(u16 vendorId, u16 productId) {
    EnsureHidInit();
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vendorId, productId);
    for (hid_device_info* i = list; i; i = i->next) {
        if (i->path) paths.push_back(i->path);
    }
    hid_free_enumeration(list);
    if ((vendorId == 0 || vendorId == VEXO_FRAME_VENDOR_ID) &&
        (productId == 0 || productId == VEXO_FRAME_PRODUCT_ID)) {
        for (auto& p : EnumerateVirtual()) paths.push_back(std::move(p));
    }
    return paths;
}

std::unique_ptr<VexoHIDLink> VexoHIDOpenLink(const std::string& path) {
    if (VexoHIDIsVirtualPath(path)) return OpenVirtual(path);
    EnsureHidInit();
    hid_device* dev = hid_open_path(path.c_str());
    if (!dev) return nullptr;
    hid_set_nonblocking(dev, 1);
    return std::make_unique<HidapiLink>(dev, path);
}

bool VexoHIDParseReportDescriptor(const u8* desc, size_t length, VexoHIDCaps_S& caps) {
    struct Globals {
        u32 usagePage = 0, reportSize = 0, reportCount = 0, reportId = 0;
    };
    Globals g;
    std::vector<Globals> stack;
    std::map<u32, u32> inputBits, outputBits;
    bool numbered = false;
    bool topUsageSeen = false, topPageSeen = false;
    int depth = 0;

    size_t i = 0;
    while (i < length) {
        const u8 prefix = desc[i++];
        if (prefix == 0xFE) {  // long item: size, tag, data
            if (i + 2 > length) break;
            i += 2 + desc[i];
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + size > length) break;
        u32 value = 0;
        for (size_t k = 0; k < size; ++k) value |= u32(desc[i + k]) << (8 * k);
        i += size;
        const u8 type = (prefix >> 2) & 3, tag = prefix >> 4;

        if (type == 0) {  // main
            if (tag == 0x8) inputBits[g.reportId] += g.reportSize * g.reportCount;
            if (tag == 0x9) outputBits[g.reportId] += g.reportSize * g.reportCount;
            if (tag == 0xA) ++depth;
            if (tag == 0xC && depth > 0) --depth;
        } else if (type == 1) {  // global
            switch (tag) {
                case 0x0:
                    g.usagePage = value;
                    if (depth == 0 && !topPageSeen) {
                        caps.usagePage = u16(value);
                        topPageSeen = true;
                    }
                    break;
                case 0x7:
                    g.reportSize = value;
                    break;
                case 0x8:
                    g.reportId = value;
                    numbered = true;
                    break;
                case 0x9:
                    g.reportCount = value;
                    break;
                case 0xA:
                    stack.push_back(g);
                    break;
                case 0xB:
                    if (!stack.empty()) {
                        g = stack.back();
                        stack.pop_back();
                    }
                    break;
                default:
                    break;
            }
        } else if (type == 2 && tag == 0x0 && depth == 0 && !topUsageSeen) {  // local usage
            caps.usage = u16(value);
            topUsageSeen = true;
        }
    }

    auto largest = [numbered](const std::map<u32, u32>& bits) {
        u32 best = 0;
        for (const auto& kv : bits) best = std::max(best, (kv.second + 7) / 8 + (numbered ? 1 : 0));
        return best;
    };
    const u32 in = largest(inputBits), out = largest(outputBits);
    if (!in && !out) return false;
    caps.maxInputReportSize = in;
    caps.maxOutputReportSize = out;
    return true;
}

}  // namespace VexoSource
