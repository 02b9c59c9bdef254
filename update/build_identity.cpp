// Compiled once per launcher, with the generated hosts and key of that launcher
// (update_host.h, update_key_point.h).
#include "update/build_identity.h"

#include "update_host.h"
#include "update_key_point.h"

const BuildIdentity BuiltIdentity = {
    "KORVANTIS:BUILD",     KORVANTIS_UPDATE_LAYOUT,       KORVANTIS_UPDATE_KEY_KIND, KORVANTIS_UPDATE_KEY_POINT,
    KORVANTIS_UPDATE_HOST, KORVANTIS_FALLBACK_HOST_COUNT, KORVANTIS_FALLBACK_HOSTS,
};
