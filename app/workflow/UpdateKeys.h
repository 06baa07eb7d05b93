#pragma once
// The update trust built into the tool: the minisign public keys (CMake:
// -DKESTREL_UPDATE_PUBKEYS="KEY1;KEY2", the base64 lines of the keys' .pub files, or their paths;
// several keys let the maker rotate one). A new tool is installed and firmware from a server
// programmed only when signed by one of them for that purpose. A build without a key trusts no
// one and refuses both, unless it was built to allow unsigned updates.
//
// The definitions are generated into the build folder (cmake/UpdateKeys.cpp.in); they are the
// only things in their object file, so that a test program can link its own.
#include <string>
#include <vector>

const std::vector<std::string>& BuiltInUpdateKeys();
// Firmware without any signature is refused too (CMake: KESTREL_REQUIRE_SIGNED_FIRMWARE, by
// default on when keys are built in); otherwise only a signature that is present is checked.
bool BuiltInRequireSignedFirmware();
// A build without keys takes updates it cannot verify, as tools before signing did (CMake:
// KESTREL_ALLOW_UNSIGNED_UPDATES, for laboratories and old servers; off by default).
bool BuiltInAllowUnsignedUpdates();
// The tool is installed by a package manager (CMake: KESTREL_PACKAGE): it never writes beside its
// own executable nor runs a downloaded tool; a new tool is only announced.
bool BuiltInForPackageManager();
