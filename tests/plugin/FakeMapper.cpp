#include "FakeMapper.h"

namespace {
std::uint64_t g_now = 0;
}

namespace plugintest {

std::vector<Contacts>& mapperCalls() {
    static std::vector<Contacts> calls;
    return calls;
}

void setClock(std::uint64_t ms) { g_now = ms; }

}  // namespace plugintest

namespace ordalo {
namespace sdk {
namespace gesturelibrary {
std::uint64_t nowMs() { return g_now++; }
}  // namespace gesturelibrary
}  // namespace sdk
}  // namespace ordalo

extern "C" {
void odosxmapper_put_frame(const ordalo::sdk::gesturelibrary::Contact<float>* contacts,
                           unsigned long count) {
    plugintest::mapperCalls().emplace_back(contacts, contacts + count);
}
void odosxmapper_set_parameter(const char*, const char*) {}
}
