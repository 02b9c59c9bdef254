// Compiled once per launcher, with the generated key of that launcher (update_key_point.h).
#include "update/build_identity.h"

#include "update_host.h"
#include "update_key_point.h"

const BuildIdentity BuiltIdentity = {
    "KORVANTIS:BUILD", kBuildIdentityLayout, KORVANTIS_UPDATE_KEY_KIND, KORVANTIS_UPDATE_KEY_POINT,
    KORVANTIS_UPDATE_HOST,
};
