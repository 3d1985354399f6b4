#include "VexoLog/VexoLog.h"

#include <locale.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>

#include "VexoUnicode/VexoUnicode.h"

namespace VexoSource {
namespace {

enum class Destination { Syslog, Stderr };

struct LoggerState {
    std::mutex lock;
    i32 minLevel = 0;
    u32 flags = 0;
    std::wstring tag = L"VexoLog : ";
    bool hasTag = true;
    u32 initialised = 0;
    Destination destination = Destination::Syslog;
    bool syslogOpen = false;
    VexoLogSink sink;
    // Narrow "%hs" arguments are decoded as UTF-8 whatever the process locale is.
    locale_t utf8 = static_cast<locale_t>(0);
};

// Never destroyed: threads may still log while the process exits.
LoggerState& State() {
    static LoggerState* state = new LoggerState;
    return *state;
}

void WriteOut(LoggerState& st, const std::wstring& line) {
    if (st.sink) {
        st.sink(line);
        return;
    }
    std::string text = VexoUnicodeToUtf8Lenient(line);
    if (st.destination == Destination::Stderr) {
        if (text.empty() || text.back() != '\n') text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    } else {
        while (!text.empty() && text.back() == '\n') text.pop_back();
        if (!st.syslogOpen) {
            openlog("OrdaloService", LOG_PID, LOG_DAEMON);
            st.syslogOpen = true;
        }
        syslog(LOG_INFO, "%s", text.c_str());
    }
}

}  // namespace

void VexoLogInit(i32 level, u32 flags, const wchar_t* tag) {
    LoggerState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    st.minLevel = level;
    if (const char* env = std::getenv("ORDALO_LOG_LEVEL")) {
        if (env[0] >= '0' && env[0] <= '2' && env[1] == '\0') st.minLevel = env[0] - '0';
    }
    const char* dest = std::getenv("ORDALO_LOG");
    st.destination =
        (dest && std::strcmp(dest, "stderr") == 0) ? Destination::Stderr : Destination::Syslog;
    st.flags = flags;
    st.hasTag = tag != nullptr;
    st.tag = tag ? tag : L"";
    if (st.utf8 == static_cast<locale_t>(0)) {
        st.utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    }
    st.initialised = 1;
}

u32 VexoLogStatus() {
    LoggerState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    return st.initialised;
}

void VexoLogSetSink(VexoLogSink sink) {
    LoggerState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    st.sink = std::move(sink);
}

void VexoLog(VexoELogLevel level, u32 /*code*/, const wchar_t* prefix, const wchar_t* format, ...) {
    // A sink that logs would otherwise deadlock on the logger's own lock; its lines are
    // dropped instead.
    thread_local bool composing = false;
    if (composing) return;
    LoggerState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    composing = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{composing};
    if (!st.initialised || static_cast<i32>(level) < st.minLevel) return;

    std::wstring line;
    line.reserve(kVexoLogMaxChars + 1);
    if (!(st.flags & VEXO_LOG_NO_TIMESTAMP)) {
        std::time_t now = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&now, &tmNow);
        wchar_t stamp[32];
        std::swprintf(stamp, 32, L"%0.4d:%0.2d:%0.2d %0.2d:%0.2d ", tmNow.tm_year + 1900,
                      tmNow.tm_mon + 1, tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min);
        line += stamp;
    }
    if (st.hasTag) line += st.tag;
    if (prefix) line += prefix;

    if (format) {
        // One slot more than the cut so that truncated output still holds 260 characters.
        // vswprintf reports both truncation and an encoding error as -1; in either case the
        // buffer keeps what was formatted up to that point.
        wchar_t message[kVexoLogMaxChars + 1];
        std::wmemset(message, 0, kVexoLogMaxChars + 1);
        locale_t previous = static_cast<locale_t>(0);
        if (st.utf8 != static_cast<locale_t>(0)) previous = uselocale(st.utf8);
        va_list args;
        va_start(args, format);
        std::vswprintf(message, kVexoLogMaxChars + 1, format, args);
        va_end(args);
        if (previous != static_cast<locale_t>(0)) uselocale(previous);
        message[kVexoLogMaxChars] = L'\0';
        line += message;
    }

    const bool linefeed = !(st.flags & VEXO_LOG_NO_LINEFEED);
    const std::size_t room = linefeed ? kVexoLogMaxChars - 1 : kVexoLogMaxChars;
    if (line.size() > room) line.resize(room);
    if (linefeed) line += L'\n';

    if (st.flags & VEXO_LOG_STDOUT) {
        std::string text = VexoUnicodeToUtf8Lenient(line);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    WriteOut(st, line);
}

}  // namespace VexoSource
