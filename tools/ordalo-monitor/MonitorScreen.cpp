#include "MonitorScreen.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

namespace OrdaloMonitor {

std::vector<std::string> DrawTouches(const std::vector<Cursor>& cursors, int columns, int rows,
                                     int& offScreen) {
    columns = std::max(columns, 3);
    rows = std::max(rows, 3);
    int height = std::min(rows, static_cast<int>(columns / kBoxCellsWidePerCellHigh));
    height = std::max(height, 3);
    const int width =
        std::clamp(static_cast<int>(std::lround(height * kBoxCellsWidePerCellHigh)), 3, columns);
    const int innerW = width - 2, innerH = height - 2;

    std::vector<std::string> box(height, "|" + std::string(innerW, ' ') + "|");
    box.front() = box.back() = "+" + std::string(innerW, '-') + "+";
    offScreen = 0;
    for (const Cursor& c : cursors) {
        // Written as !(in range) so that a NaN is off the screen too.
        if (!(c.x >= 0.0f && c.x <= 1.0f && c.y >= 0.0f && c.y <= 1.0f)) {
            ++offScreen;
            continue;
        }
        const int col = static_cast<int>(std::lround(c.x * (innerW - 1)));
        const int row = static_cast<int>(std::lround(c.y * (innerH - 1)));
        std::string label = std::to_string(c.id);
        if (static_cast<int>(label.size()) > innerW) label.resize(innerW);
        const int start = std::min(col, innerW - static_cast<int>(label.size()));
        box[1 + row].replace(1 + start, label.size(), label);
    }
    return box;
}

LogTail::~LogTail() {
    if (file_) std::fclose(file_);
}

void LogTail::Poll() {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return;
    if (file_ && (static_cast<unsigned long>(st.st_ino) != inode_ || st.st_size < offset_)) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!file_) {
        file_ = std::fopen(path_.c_str(), "r");
        if (!file_) return;
        inode_ = static_cast<unsigned long>(st.st_ino);
        offset_ = 0;
        partial_.clear();
    }
    // Starting far behind, only the end matters for what is shown.
    const long keep = static_cast<long>(kMaxLines * 256);
    if (st.st_size - offset_ > keep) {
        offset_ = st.st_size - keep;
        partial_.clear();
    }
    if (std::fseek(file_, offset_, SEEK_SET) != 0) return;
    char buffer[4096];
    size_t n;
    while (offset_ < st.st_size && (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
        offset_ += static_cast<long>(n);
        Add(buffer, n);
    }
    std::clearerr(file_);
}

void LogTail::Add(const char* data, size_t size) {
    for (size_t k = 0; k < size; ++k) {
        const unsigned char c = static_cast<unsigned char>(data[k]);
        if (c == '\n') {
            lines_.push_back(std::move(partial_));
            partial_.clear();
            if (lines_.size() > kMaxLines) lines_.pop_front();
        } else if (partial_.size() < kMaxLineBytes) {
            partial_ += c == '\t' ? ' ' : (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
        }
    }
}

}  // namespace OrdaloMonitor
