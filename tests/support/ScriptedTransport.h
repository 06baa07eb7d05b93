#pragma once
// A server peer for the upgrade dialogue without a socket: it sends a fixed byte stream, as a
// server's bytes on the wire. Lines end in CR LF, data is taken as it comes, and once the bytes
// are used up the connection counts as lost (empty lines, no more data).
#include "Dialogue.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TScriptedTransport : public TLineTransport {
public:
    explicit TScriptedTransport(std::string_view bytes = {}) : bytes_(bytes) {}

    void SendLine(const std::string& line) override { sent_.push_back(line); }
    std::string ReceiveLine() override;
    // Aborts on a count outside 1 to 8192, the dialogue's promise.
    void ReceiveData(uint8_t* into, int count) override;

    // Every line the dialogue sent, in order.
    const std::vector<std::string>& Sent() const { return sent_; }
    // The lines received before the first data.
    const std::vector<std::string>& LinesBeforeData() const { return linesBeforeData_; }

private:
    std::string bytes_;
    size_t taken_ = 0;
    std::vector<std::string> sent_;
    std::vector<std::string> linesBeforeData_;
    bool dataStarted_ = false;
};
