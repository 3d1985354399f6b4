// A stand-in for libOrdaloOSXMapper behind the plugin: records every frame handed to it, and a
// gesture clock that ticks once per reading.
#pragma once

#include <cstdint>
#include <vector>

#include "OrdaloOSXMapper.h"

namespace plugintest {

using Contacts = std::vector<ordalo::sdk::gesturelibrary::Contact<float>>;

// Every frame odosxmapper_put_frame received, in order.
std::vector<Contacts>& mapperCalls();
// The value the next clock reading returns (each reading adds 1 afterwards).
void setClock(std::uint64_t ms);

}  // namespace plugintest
