#include "Rollout.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {
// A whole number of at most 9 digits.
std::optional<uint64_t> Number(std::string_view text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    uint64_t n = 0;
    for (char c : text)
        n = n * 10 + static_cast<uint64_t>(c - '0');
    return n;
}

// "10%", "2.5%", "0.25%": hundredths of a percent, at most 100%.
std::optional<uint32_t> Percentage(std::string_view text) {
    if (!text.ends_with('%'))
        return std::nullopt;
    text.remove_suffix(1);
    size_t dot = text.find('.');
    auto whole = Number(text.substr(0, dot));
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (!whole || (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 2)))
        return std::nullopt;
    auto hundredths = fraction.empty() ? std::optional<uint64_t>(0) : Number(fraction);
    if (!hundredths)
        return std::nullopt;
    uint64_t bp = *whole * 100 + *hundredths * (fraction.size() == 1 ? 10 : 1);
    if (bp > 10000)
        return std::nullopt;
    return static_cast<uint32_t>(bp);
}
} // namespace

bool ParseRolloutFields(const std::vector<std::string>& fields, RolloutPlan& plan,
                        std::string& why) {
    if (fields.empty()) {
        why = "expected: rollout TYPE VERSION STAGES [advance=N] [halt=P%]";
        return false;
    }
    plan.stages.clear();
    std::string_view stages = fields[0];
    for (;;) {
        size_t comma = stages.find(',');
        auto stage = Number(stages.substr(0, comma));
        if (!stage || *stage < 1 || *stage > 100 ||
            (!plan.stages.empty() && *stage <= plan.stages.back())) {
            why = "stages \"" + fields[0] +
                  "\": percentages from 1 to 100, ascending, separated by commas (5,25,100)";
            return false;
        }
        plan.stages.push_back(static_cast<uint32_t>(*stage));
        if (comma == std::string_view::npos)
            break;
        stages.remove_prefix(comma + 1);
    }
    if (plan.stages.back() != 100) {
        why = "stages \"" + fields[0] + "\" end at " + std::to_string(plan.stages.back()) +
              "%: the last stage is 100 (every device)";
        return false;
    }
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string& f = fields[i];
        if (f.starts_with("advance=")) {
            auto n = Number(std::string_view(f).substr(8));
            if (!n || *n < 1) {
                why = "\"" + f + "\": advance=N takes a number of devices from 1";
                return false;
            }
            plan.advance = *n;
        } else if (f.starts_with("halt=")) {
            auto bp = Percentage(std::string_view(f).substr(5));
            if (!bp) {
                why = "\"" + f + "\": halt=P% takes a percentage from 0% to 100% (10%, 2.5%)";
                return false;
            }
            plan.haltBasisPoints = *bp;
        } else {
            why = "unknown rollout setting \"" + f + "\" (advance=N, halt=P%)";
            return false;
        }
    }
    return true;
}

std::string StagesText(const std::vector<uint32_t>& stages) {
    std::string text;
    for (uint32_t stage : stages)
        text += (text.empty() ? "" : ",") + std::to_string(stage);
    return text;
}

std::string PercentText(uint64_t basisPoints) {
    std::string text = std::to_string(basisPoints / 100);
    if (uint64_t rest = basisPoints % 100; rest != 0) {
        text += "." + std::to_string(rest / 10);
        if (rest % 10 != 0)
            text += std::to_string(rest % 10);
    }
    return text + "%";
}

uint32_t Bucket(const std::string& originalId, const std::string& type,
                const std::string& version) {
    const std::string text = originalId + " " + type + " " + version;
    std::array<unsigned char, crypto_hash_sha256_BYTES> hash{};
    crypto_hash_sha256(hash.data(), reinterpret_cast<const unsigned char*>(text.data()),
                       text.size());
    uint32_t first = static_cast<uint32_t>(hash[0]) << 24 | static_cast<uint32_t>(hash[1]) << 16 |
                     static_cast<uint32_t>(hash[2]) << 8 | static_cast<uint32_t>(hash[3]);
    return first % 100;
}

namespace {
constexpr std::array<const char*, 5> kStateNames{"none", "offered", "downloaded", "installed",
                                                 "came-back"};
constexpr std::array<const char*, 4> kActionNames{"advance", "halt", "pause", "resume"};
} // namespace

const char* DeviceStateName(DeviceState state) {
    return kStateNames[static_cast<size_t>(state)];
}

std::optional<DeviceState> ParseDeviceState(std::string_view name) {
    for (size_t i = 1; i < kStateNames.size(); ++i)
        if (name == kStateNames[i])
            return static_cast<DeviceState>(i);
    return std::nullopt;
}

DeviceState NextState(DeviceState state, const SessionFacts& facts) {
    using enum DeviceState;
    // What the device runs comes first: it tells how the earlier download went.
    if (facts.announced && state != None) {
        if (*facts.announced >= 0)
            state = Installed;
        else if (state == Downloaded || state == Installed)
            state = CameBack;
    }
    if (facts.offered && state == None)
        state = Offered;
    // A device that came back stays so when it downloads again, until it runs the release.
    if (facts.offered && facts.downloaded && state == Offered)
        state = Downloaded;
    return state;
}

uint64_t& ReleaseCounts::Of(DeviceState state) {
    switch (state) {
    case DeviceState::Downloaded:
        return downloaded;
    case DeviceState::Installed:
        return installed;
    case DeviceState::CameBack:
        return cameBack;
    case DeviceState::None:
    case DeviceState::Offered:
        break;
    }
    return offered;
}

ReleaseCounts operator-(const ReleaseCounts& a, const ReleaseCounts& b) {
    auto minus = [](uint64_t x, uint64_t y) { return x > y ? x - y : 0; };
    return {minus(a.offered, b.offered), minus(a.downloaded, b.downloaded),
            minus(a.installed, b.installed), minus(a.cameBack, b.cameBack)};
}

namespace {
// came back ÷ (installed + came back) > the halt share, in whole numbers.
bool ShareAbove(const ReleaseCounts& c, uint32_t basisPoints) {
    return c.cameBack * 10000 > uint64_t{basisPoints} * (c.installed + c.cameBack);
}
} // namespace

bool StageComplete(const ReleaseCounts& stage, const RolloutPlan& plan) {
    return stage.installed >= plan.advance && !ShareAbove(stage, plan.haltBasisPoints);
}

bool MustHalt(const ReleaseCounts& counts, const RolloutPlan& plan) {
    return counts.cameBack >= kHaltMinCameBack && ShareAbove(counts, plan.haltBasisPoints);
}

std::string CameBackShare(const ReleaseCounts& counts) {
    uint64_t all = counts.installed + counts.cameBack;
    if (all == 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(counts.cameBack) / static_cast<double>(all));
    return text;
}

const char* RolloutActionName(RolloutAction action) {
    return kActionNames[static_cast<size_t>(action)];
}

std::optional<RolloutAction> ParseRolloutAction(std::string_view name) {
    for (size_t i = 0; i < kActionNames.size(); ++i)
        if (name == kActionNames[i])
            return static_cast<RolloutAction>(i);
    return std::nullopt;
}

const char* RolloutStateName(bool halted, bool paused, uint32_t percent) {
    return halted ? "halted" : paused ? "paused" : percent >= 100 ? "done" : "running";
}

std::optional<uint32_t> NextStage(const std::vector<uint32_t>& stages, uint32_t percent) {
    auto it = std::upper_bound(stages.begin(), stages.end(), percent);
    if (it == stages.end())
        return std::nullopt;
    return *it;
}

uint32_t StageStart(const std::vector<uint32_t>& stages, uint32_t percent) {
    auto it = std::lower_bound(stages.begin(), stages.end(), percent);
    return it == stages.begin() ? 0 : *std::prev(it);
}

uint32_t FitStage(const std::vector<uint32_t>& stages, uint32_t percent) {
    auto it = std::upper_bound(stages.begin(), stages.end(), percent);
    return it == stages.begin() ? stages.front() : *std::prev(it);
}

bool Offered(uint32_t bucket, uint32_t percent, bool halted, bool downloadedBefore) {
    if (halted)
        return downloadedBefore;
    return bucket < percent;
}
