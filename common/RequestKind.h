#pragma once
// The request kinds of the upgrade dialogue (the value of "UPType"), for the tool and the
// reference server alike. Any other value a server answers is a kind the tool does not know.
#include <cstdint>

namespace RequestKind {
constexpr int32_t Firmware = 3; // firmware for the device: what every request asks for
constexpr int32_t Tool = 7;     // the answer is a new version of the tool itself
} // namespace RequestKind
