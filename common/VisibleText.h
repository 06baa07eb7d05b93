#pragma once
// Text from outside the program (a server's answer, a device's identity) on its way to a
// terminal or a log line: control characters there could move the cursor, hide what follows or
// forge a line, so each becomes a visible escape.
#include <string>
#include <string_view>

// C0 controls and DEL become \xNN, C1 controls (U+0080 to U+009F) \u00NN, and a byte that is not
// part of valid UTF-8 \xNN; every other character, Chinese included, stays as it is.
std::string VisibleText(std::string_view text);
