// The launcher built without KORVANTIS_UPDATE_KEY: manifests are taken unsigned.
#include "update/signature.h"

const UpdateKey CompiledUpdateKey = {false, {}};
