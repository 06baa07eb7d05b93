#include "ScriptedTransport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string TScriptedTransport::ReceiveLine() {
    const std::string_view rest = std::string_view(bytes_).substr(taken_);
    const size_t end = rest.find("\r\n");
    // Without CR LF the peer's last bytes are what the line receive hands out.
    std::string line(rest.substr(0, end));
    taken_ += end == std::string_view::npos ? rest.size() : end + 2;
    if (!dataStarted_)
        linesBeforeData_.push_back(line);
    return line;
}

void TScriptedTransport::ReceiveData(uint8_t* into, int count) {
    if (count < 1 || count > 8192) {
        std::fprintf(stderr, "ReceiveData asked for %d bytes (1 to 8192)\n", count);
        std::abort();
    }
    dataStarted_ = true;
    const size_t n = std::min(bytes_.size() - taken_, static_cast<size_t>(count));
    std::memcpy(into, bytes_.data() + taken_, n);
    taken_ += n;
}
