#pragma once
// Text inside the program is UTF-8; every Windows call that takes or returns text uses its wide
// (UTF-16) form. These two are the only conversions between them.
#include <string>
#include <string_view>

// UTF-8 to UTF-16. A byte that is not valid UTF-8 becomes U+FFFD.
std::wstring Widen(std::string_view utf8);
// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view wide);
