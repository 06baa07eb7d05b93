#include "LinkCauses.h"

std::string DeviceCause() {
    return {};
}
