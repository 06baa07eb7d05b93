#pragma once
// What the device link tells about its last failure, for the cause lines of kestrel-cli.
#include <string>

// Why the last device step of the default link failed (one line, with the port's path where
// there is one); empty when it does not say.
std::string DeviceCause();
