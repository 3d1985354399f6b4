#include "VexoDevs/VexoHID.h"

#include "VexoLog/VexoLog.h"

namespace VexoSource {

u8 VexoHIDGetPaths(u16 vendorId, u16 productId, std::vector<std::string>& paths) {
    std::vector<std::string> found = VexoHIDEnumerate(vendorId, productId);
    paths.insert(paths.end(), found.begin(), found.end());
    return found.empty() ? 0 : 1;
}

VexoHIDCaps_S* VexoHIDGetCaps(VexoHIDLink* device) {
    if (!device) return nullptr;
    auto caps = std::make_unique<VexoHIDCaps_S>();
    if (!device->GetCaps(*caps)) return nullptr;
    return caps.release();
}

VexoHIDCaps_S* VexoHIDGetCapsByPath(const std::string& path) {
    std::unique_ptr<VexoHIDLink> link = VexoHIDOpenLink(path);
    return VexoHIDGetCaps(link.get());
}

void VexoHIDFreeCaps(VexoHIDCaps_S* caps) { delete caps; }

VexoHID::VexoHID() = default;

VexoHID::~VexoHID() { Reset(); }

u32 VexoHID::Init() {
    m_initialized = 1;
    return 1;
}

void VexoHID::Reset() {
    std::shared_ptr<VexoHIDLink> closing;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        closing = std::move(m_device);
        m_prepared = 0;
        m_initialized = 0;
        m_errors = 0;
        m_removed = 1;
    }
    // `closing` closes the device here, or when a transfer still using it ends.
}

u32 VexoHID::IsPrepared(const std::string& path) {
    if (m_prepared) return 1;
    std::lock_guard<std::mutex> lock(m_prepareMutex);
    if (m_prepared) return 1;
    return GetDevice(path);
}

u32 VexoHID::GetDevice(const std::string& path) {
    std::unique_ptr<VexoHIDLink> link = OpenLink(path);
    if (!link) {
        VEXO_LOG_EXCEPTION(L"Unable to open device %hs", path.c_str());
        return 0;
    }
    VexoHIDCaps_S caps{};
    if (!link->GetCaps(caps)) return 0;
    std::lock_guard<std::mutex> state(m_stateMutex);
    m_device = std::move(link);
    m_caps = caps;
    m_prepared = 1;
    return 1;
}

std::unique_ptr<VexoHIDLink> VexoHID::OpenLink(const std::string& path) {
    return VexoHIDOpenLink(path);
}

bool VexoHID::GetCaps(VexoHIDCaps_S& caps) const {
    std::lock_guard<std::mutex> state(m_stateMutex);
    if (!m_device) return false;
    caps = m_caps;
    return true;
}

i32 VexoHID::Read(u8* buffer, u32 length) { return ReadTimed(buffer, length, 0); }

i32 VexoHID::ReadTimed(u8* buffer, u32 length, u32 timeoutMs) {
    const i32 n = Transfer(buffer, length, true, [&](VexoHIDLink& link) {
        return link.Read(buffer, length, int(timeoutMs));
    });
    return n < 0 ? 0 : n;
}

i32 VexoHID::Write(const u8* buffer, u32 length) {
    return Transfer(buffer, length, false,
                    [&](VexoHIDLink& link) { return link.Write(buffer, length); });
}

template <typename Op>
i32 VexoHID::Transfer(const void* buffer, u32 length, bool input, Op op) {
    std::shared_ptr<VexoHIDLink> link;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (!m_initialized || !m_device || !buffer ||
            length != (input ? m_caps.maxInputReportSize : m_caps.maxOutputReportSize)) {
            return 0;
        }
        link = m_device;
    }
    int n;
    {
        std::lock_guard<std::mutex> io(input ? m_readMutex : m_writeMutex);
        n = op(*link);
    }
    if (n < 0) CountFailure();
    return n;
}

void VexoHID::CountFailure() {
    if (m_errors.fetch_add(1) + 1 >= kMaxErrors) Reset();
}

}  // namespace VexoSource
