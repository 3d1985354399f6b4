// A HID report descriptor as a device publishes it (hidraw's report_descriptor), into the parser
// that finds the largest input and output report. Whatever the bytes, it reads only inside them,
// reports sizes only when it found a report (and leaves them as they were otherwise), and its
// cost is bounded by the descriptor's length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "VexoDevs/VexoHIDBackend.h"

using namespace VexoSource;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the descriptor's bytes, in their own allocation.
    std::unique_ptr<u8[]> desc(new u8[size ? size : 1]);
    if (size) std::memcpy(desc.get(), data, size);
    VexoHIDCaps_S caps{0xAAAAAAAAu, 0x55555555u, 0x1234, 0x5678};
    const bool found = VexoHIDParseReportDescriptor(desc.get(), size, caps);
    if (!found) {
        if (caps.maxInputReportSize != 0xAAAAAAAAu || caps.maxOutputReportSize != 0x55555555u)
            std::abort();
    } else if (caps.maxInputReportSize == 0 && caps.maxOutputReportSize == 0) {
        std::abort();
    }
    return 0;
}
