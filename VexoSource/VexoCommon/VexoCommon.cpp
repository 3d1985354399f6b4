#include "VexoCommon/VexoCommon.h"

namespace VexoSource {

VexoObj::~VexoObj() = default;

}  // namespace VexoSource
