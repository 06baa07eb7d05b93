#include "Step.h"

#include <array>
#include <charconv>

namespace {
struct StepNameEntry {
    StepKind kind;
    std::string_view name;
    bool numbered;
};

constexpr std::array<StepNameEntry, 10> kStepNames{{
    {StepKind::Announce, "announce", true},
    {StepKind::Length, "length", false},
    {StepKind::LengthAck, "length-ack", false},
    {StepKind::Values, "values", false},
    {StepKind::Check, "check", false},
    {StepKind::Crc, "crc", false},
    {StepKind::Chunk, "chunk", true},
    {StepKind::ChunkAck, "chunk-ack", true},
    {StepKind::Byte, "byte", true},
    {StepKind::AllOk, "allok", false},
}};
} // namespace

std::string StepName(const Step& step) {
    for (const auto& e : kStepNames) {
        if (e.kind == step.kind) {
            std::string name(e.name);
            if (e.numbered)
                name += ":" + std::to_string(step.n);
            return name;
        }
    }
    return "?";
}

std::optional<uint64_t> ParseCount(std::string_view text) {
    uint64_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<Step> ParseStep(std::string_view text) {
    auto colon = text.find(':');
    std::string_view name = text.substr(0, colon);
    for (const auto& e : kStepNames) {
        if (e.name != name)
            continue;
        if (!e.numbered)
            return colon == std::string_view::npos ? std::optional<Step>(Step{e.kind, 0})
                                                   : std::nullopt;
        if (colon == std::string_view::npos)
            return std::nullopt;
        auto n = ParseCount(text.substr(colon + 1));
        if (!n)
            return std::nullopt;
        if (e.kind == StepKind::Announce && (*n < 1 || *n > 27))
            return std::nullopt;
        if ((e.kind == StepKind::Chunk || e.kind == StepKind::ChunkAck) && *n < 1)
            return std::nullopt;
        return Step{e.kind, *n};
    }
    return std::nullopt;
}
