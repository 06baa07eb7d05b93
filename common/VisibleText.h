#pragma once
// Text from outside the program (a server's answer, a device's identity, a port's holder) on its
// way to a terminal, a log line or a JSON string: control characters there could move the cursor,
// hide what follows or forge a line, and bidirectional controls could reorder what the line says,
// so each becomes a visible escape.
#include <string>
#include <string_view>

// How the escapes are written.
enum class TVisibleForm {
    // For a terminal: C0 controls and DEL \xNN, a byte that is not part of valid UTF-8 \xNN, C1
    // controls (U+0080 to U+009F), the bidirectional embeddings, overrides and isolates (U+202A
    // to U+202E, U+2066 to U+2069) and the line and paragraph separators (U+2028, U+2029) \uNNNN.
    Terminal,
    // The inside of a JSON string: the same characters as \uNNNN (\n, \r, \t for those three),
    // " and \ escaped, and a byte that is not part of valid UTF-8 U+FFFD, so that the text stays
    // valid JSON and a reader gets the characters back.
    Json,
};

// Every other character, Chinese included, stays as it is.
std::string VisibleText(std::string_view text, TVisibleForm form = TVisibleForm::Terminal);
