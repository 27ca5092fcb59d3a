// A source of common/ that names a header of usermap/, a layer above it: it must not compile with
// common/'s include roots. With CLIMB it takes the "../" way round them, which the include check refuses.
#include "common/text.h"
#ifdef CLIMB
#include "../usermap/map_types.h"
#else
#include "usermap/map_types.h"
#endif
