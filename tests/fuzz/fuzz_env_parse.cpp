// SPDX-License-Identifier: MIT
// Arbitrary bytes as the boot environment area.
#include "env.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t area[ENV_AREA_SIZE] = {};
    std::memcpy(area, data, size < ENV_AREA_SIZE ? size : ENV_AREA_SIZE);
    parse_env_area(area);
    return 0;
}
