// The live picture of ordalo-monitor: the screen as a box of text cells with each touch's id at
// its place, and the tail of a log file shown under it.
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "TuioCursors.h"

namespace OrdaloMonitor {

// Terminal cells are about twice as tall as wide; the box keeps the 16:9 of common screens.
constexpr double kBoxCellsWidePerCellHigh = 2.0 * 16.0 / 9.0;

// A box of at most `columns` x `rows` cells (borders included, each at least 3) with every
// cursor's id written from its cell, kept inside the box. Cursors off the screen (outside 0..1
// or not a number) are left out and counted in `offScreen`.
std::vector<std::string> DrawTouches(const std::vector<Cursor>& cursors, int columns, int rows,
                                     int& offScreen);

// Follows a growing text file (a log) and keeps its last complete lines, with control
// characters replaced so that they cannot move the terminal's cursor. A file that shrinks or is
// replaced is read again from its start.
class LogTail {
public:
    static constexpr size_t kMaxLines = 64;
    static constexpr size_t kMaxLineBytes = 4096;

    explicit LogTail(std::string path) : path_(std::move(path)) {}
    ~LogTail();
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    // Reads what was appended since the last call; never blocks on more than the file.
    void Poll();
    const std::deque<std::string>& lines() const { return lines_; }

private:
    void Add(const char* data, size_t size);

    std::string path_;
    FILE* file_ = nullptr;
    long offset_ = 0;
    unsigned long inode_ = 0;
    std::string partial_;
    std::deque<std::string> lines_;
};

}  // namespace OrdaloMonitor
