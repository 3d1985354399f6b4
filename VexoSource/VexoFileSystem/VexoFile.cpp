#include "VexoFileSystem/VexoFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "VexoLog/VexoLog.h"

namespace VexoSource {
namespace {

std::atomic<bool> g_dataPathOn{true};

bool StartsWith(const std::string& text, const char* head) {
    return text.compare(0, std::strlen(head), head) == 0;
}

std::string CurrentDirectory() {
    std::string dir(256, '\0');
    for (;;) {
        if (getcwd(&dir[0], dir.size())) {
            dir.resize(std::strlen(dir.c_str()));
            return dir;
        }
        if (errno != ERANGE || dir.size() > (1u << 16)) return std::string();
        dir.resize(dir.size() * 2);
    }
}

}  // namespace

void VexoSetDataPathEnabled(bool on) { g_dataPathOn = on; }

bool VexoDataPathEnabled() { return g_dataPathOn; }

std::string VexoToDataPath(const std::string& name, bool makeAbsolute) {
    if (!g_dataPathOn || StartsWith(name, "/")) return name;
    std::string path = StartsWith(name, kVexoDataRoot) ? name : kVexoDataRoot + name;
    if (makeAbsolute) path = CurrentDirectory() + "/" + path;
    return path;
}

u32 VexoFileSaveByFile(FILE* file, const void* buffer, std::size_t length, long offset,
                       std::size_t* written) {
    if (written) *written = 0;
    if (!file || (!buffer && length > 0)) return 0;
    if (std::fseek(file, offset, SEEK_SET) != 0) {
        VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Unable to fseek file");
        return 0;
    }
    const std::size_t n = length ? std::fwrite(buffer, 1, length, file) : 0;
    if (written) *written = n;
    return n == length ? 1 : 0;
}

u8* VexoFileLoadByFile(FILE* file, std::size_t length, u8* buffer, long offset,
                       std::size_t* readCount) {
    if (readCount) *readCount = 0;
    if (!file) return nullptr;
    if (std::fseek(file, offset, SEEK_SET) != 0) {
        VexoLog(VexoELogLevel::Exception, 1, kVexoLogPrefixException, L"Unable to lseek file");
        return nullptr;
    }
    u8* target = buffer;
    if (!target) {
        target = new (std::nothrow) u8[length ? length : 1];
        if (!target) return nullptr;
    }
    const std::size_t n = length ? std::fread(target, 1, length, file) : 0;
    if (readCount) *readCount = n;
    return target;
}

long VexoFileGetSize(FILE* file) {
    if (!file || std::fseek(file, 0, SEEK_END) != 0) return -1;
    return std::ftell(file);
}

void VexoFileCloseHandle(FILE* file) {
    if (file) std::fclose(file);
}

}  // namespace VexoSource
