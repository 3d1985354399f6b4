// Collects the logger's composed lines for assertions.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vexotest {

class LogCapture {
public:
    // Initialises the logger at `level` without time stamp or line feed and an empty tag,
    // and installs itself as the sink.
    explicit LogCapture(int level = 0);
    ~LogCapture();

    std::vector<std::wstring> Lines() const;
    std::size_t Count(const std::wstring& line) const;
    bool Contains(const std::wstring& line) const { return Count(line) > 0; }
    void Clear();
    // Polls until pred() holds or the deadline passes; returns pred().
    static bool WaitFor(const std::function<bool()>& pred,
                        std::chrono::milliseconds deadline = std::chrono::seconds(10));

private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "0x%0.8X" of an object's address, as the framework logs it.
std::wstring Hex8(const void* p);

}  // namespace vexotest
