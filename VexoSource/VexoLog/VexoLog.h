// The process-wide logger of the service: one wide-character line per call.
//
// A line is "YYYY:MM:DD hh:mm " (unless flag 8), the tag, the prefix and the formatted
// message (cut at 260 characters), and "\n" unless flag 4. The whole line never exceeds
// 260 characters. Nothing is logged before VexoLogInit.
//
// Where composed lines go: a test sink when one is installed; otherwise the system log
// (ident "OrdaloService"), or standard error when the environment has ORDALO_LOG=stderr.
// ORDALO_LOG_LEVEL=0|1|2 replaces the minimum level given to VexoLogInit. Flag 1 additionally
// writes the line to standard output.
//
// Formats use the glibc wide-printf dialect: "%hs" and "%s" take a narrow char* (UTF-8),
// "%ls" a wide string. Calls are serialised; a line logged from inside a sink is dropped.
#pragma once

#include <functional>
#include <string>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

enum class VexoELogLevel : i32 {
    Debug = 0,
    Information = 1,
    Exception = 2,
};

// Each level is paired with its prefix by the caller.
constexpr const wchar_t* kVexoLogPrefixDebug = L"Debug - ";
constexpr const wchar_t* kVexoLogPrefixInformation = L"Information - ";
constexpr const wchar_t* kVexoLogPrefixException = L"Exception - ";

enum VexoLogFlags : u32 {
    VEXO_LOG_STDOUT = 1,
    VEXO_LOG_NO_LINEFEED = 4,
    VEXO_LOG_NO_TIMESTAMP = 8,
};

constexpr std::size_t kVexoLogMaxChars = 260;

// Stores level, flags and tag (copied) and marks the logger initialised.
void VexoLogInit(i32 level, u32 flags, const wchar_t* tag);
inline void VexoLogInit(VexoELogLevel level, u32 flags, const wchar_t* tag) {
    VexoLogInit(static_cast<i32>(level), flags, tag);
}

// 1 once VexoLogInit has run, else 0.
u32 VexoLogStatus();

// Logs one line. `code` is 1 with Exception and 0 otherwise by convention; it is not used.
// `prefix` may be null.
void VexoLog(VexoELogLevel level, u32 code, const wchar_t* prefix, const wchar_t* format, ...);

// Receives every composed line that passes the level, exactly as composed (with its "\n"
// unless flag 4). Installing a sink replaces the system log / standard error; an empty
// function restores them. Meant for tests.
using VexoLogSink = std::function<void(const std::wstring& line)>;
void VexoLogSetSink(VexoLogSink sink);

// Shorthands pairing level, code and prefix.
#define VEXO_LOG_DEBUG(...)                                      \
    ::VexoSource::VexoLog(::VexoSource::VexoELogLevel::Debug, 0, \
                          ::VexoSource::kVexoLogPrefixDebug, __VA_ARGS__)
#define VEXO_LOG_INFO(...)                                             \
    ::VexoSource::VexoLog(::VexoSource::VexoELogLevel::Information, 0, \
                          ::VexoSource::kVexoLogPrefixInformation, __VA_ARGS__)
#define VEXO_LOG_EXCEPTION(...)                                      \
    ::VexoSource::VexoLog(::VexoSource::VexoELogLevel::Exception, 1, \
                          ::VexoSource::kVexoLogPrefixException, __VA_ARGS__)

}  // namespace VexoSource
