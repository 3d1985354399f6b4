#include "LogCapture.h"

#include <cstdlib>
#include <cwchar>
#include <thread>

#include "VexoLog/VexoLog.h"

namespace vexotest {

LogCapture::LogCapture(int level) {
    unsetenv("ORDALO_LOG_LEVEL");
    VexoSource::VexoLogInit(
        level, VexoSource::VEXO_LOG_NO_LINEFEED | VexoSource::VEXO_LOG_NO_TIMESTAMP, L"");
    VexoSource::VexoLogSetSink([this](const std::wstring& line) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
    });
}

LogCapture::~LogCapture() { VexoSource::VexoLogSetSink(nullptr); }

std::vector<std::wstring> LogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::size_t LogCapture::Count(const std::wstring& line) const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::size_t n = 0;
    for (const auto& l : m_lines) n += l == line ? 1 : 0;
    return n;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

bool LogCapture::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::wstring Hex8(const void* p) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%0.8X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

}  // namespace vexotest
