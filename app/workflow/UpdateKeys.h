#pragma once
// The minisign public keys built into the tool (CMake: -DKESTREL_UPDATE_PUBKEYS="KEY1;KEY2", the
// base64 lines of the keys' .pub files, or their paths; several keys let the maker rotate one).
// A new tool is installed and firmware programmed only when signed by one of them. Without a key
// nothing is verified: a signature trailer is only removed before use.
//
// The definitions are generated into the build folder (cmake/UpdateKeys.cpp.in); they are the
// only things in their object file, so that a test program can link its own.
#include <string>
#include <vector>

const std::vector<std::string>& BuiltInUpdateKeys();
// Firmware without any signature is refused too (CMake: KESTREL_REQUIRE_SIGNED_FIRMWARE, by
// default on when keys are built in); otherwise only a signature that is present is checked.
bool BuiltInRequireSignedFirmware();
