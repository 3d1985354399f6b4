// Data-directory rule for relative file names and stream read/write helpers.
#pragma once

#include <cstdio>
#include <string>

#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

constexpr const char* kVexoDataRoot = "../../../Data/";

// The data path switch is on from the start.
void VexoSetDataPathEnabled(bool on);
bool VexoDataPathEnabled();

// With the switch on, a name that does not begin with "/" gets the data root in front
// (unless it already begins with it) and, when makeAbsolute is set, the current working
// directory and "/". Names beginning with "/" are returned unchanged.
std::string VexoToDataPath(const std::string& name, bool makeAbsolute);

// Seeks to `offset` from the start and writes `length` bytes. Returns 1 when all bytes were
// written, else 0 (logs "Unable to fseek file" when the seek fails). The stream stays open.
u32 VexoFileSaveByFile(FILE* file, const void* buffer, std::size_t length, long offset,
                       std::size_t* written = nullptr);
// Seeks to `offset` and reads up to `length` bytes into `buffer`, or into a new u8[length]
// (free with delete[]) when `buffer` is null. Returns the buffer, or null when the seek
// fails (logs "Unable to lseek file") or the stream is null.
u8* VexoFileLoadByFile(FILE* file, std::size_t length, u8* buffer, long offset,
                       std::size_t* readCount = nullptr);
// Size of the stream in bytes (seeks to its end); -1 on failure.
long VexoFileGetSize(FILE* file);
void VexoFileCloseHandle(FILE* file);

}  // namespace VexoSource
