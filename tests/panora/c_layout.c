/* The public header compiled as C: record sizes and offsets as a C caller sees them. */
#include <stddef.h>

#include "PanoraCore.h"

_Static_assert(sizeof(ODPoint) == 8, "ODPoint");
_Static_assert(sizeof(SetupParams) == 14 * 4, "SetupParams is 14 words");
_Static_assert(sizeof(ShadowRect) == 16, "ShadowRect");
_Static_assert(sizeof(TrackRecord) == 44, "TrackRecord");
_Static_assert(sizeof(BeamHits) == 44, "BeamHits");
_Static_assert(sizeof(Path) == 156, "Path");

size_t panora_c_sizeof_context(void) { return sizeof(CoreContext); }
size_t panora_c_sizeof_polygon(void) { return sizeof(_MINI_POLYGON); }
size_t panora_c_offsetof_scan(void) { return offsetof(CoreContext, scan); }
size_t panora_c_offsetof_runs_y(void) { return offsetof(CoreContext, runsY); }
size_t panora_c_offsetof_mirror_x(void) { return offsetof(CoreContext, mirrorX); }
