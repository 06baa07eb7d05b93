#pragma once
// Releases in stages: the manifest's rollout line, a device's bucket, what a device's sessions
// say about a release, when a stage advances and when a release halts. Arithmetic only: the
// register keeps the figures, the server applies the answers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A rollout line's defaults: a stage advances once this many of its devices are installed...
constexpr uint64_t kDefaultAdvance = 20;
// ...while at most this share (in hundredths of a percent: 1000 is 10%) of them came back.
constexpr uint32_t kDefaultHaltBasisPoints = 1000;
// A release halts only once this many devices came back: one unlucky device stops nothing.
constexpr uint64_t kHaltMinCameBack = 3;

// `rollout TYPE VERSION STAGES [advance=N] [halt=P%]`.
struct RolloutPlan {
    std::string type;
    std::string version;
    std::vector<uint32_t> stages{100}; // percentages, ascending, the last 100
    uint64_t advance = kDefaultAdvance;
    uint32_t haltBasisPoints = kDefaultHaltBasisPoints;
    // From a rollout line: a release without one goes to every device (stages {100}).
    bool staged = false;
};

// The fields after TYPE and VERSION: STAGES and the optional advance= and halt=. False with the
// reason in `why`.
bool ParseRolloutFields(const std::vector<std::string>& fields, RolloutPlan& plan,
                        std::string& why);
// "5,25,100"
std::string StagesText(const std::vector<uint32_t>& stages);
// 1000 -> "10%", 250 -> "2.5%"
std::string PercentText(uint64_t basisPoints);

// A device's place in a release's rollout, 0..99: the first 4 bytes of the SHA-256 of
// "ORIGINALID TYPE VERSION" (UTF-8), big-endian, mod 100. The same on every server and after
// every restart; a device offered at one stage is offered at every later one.
uint32_t Bucket(const std::string& originalId, const std::string& type, const std::string& version);

// Where a device stands with one release, once it has been offered it.
enum class DeviceState : uint8_t {
    None,       // never offered
    Offered,    // the server began to send it
    Downloaded, // a session ended with "AllOK"
    Installed,  // a later session announced the release's version or a newer one
    CameBack,   // downloaded, then announced an older version again (until it is installed)
};
const char* DeviceStateName(DeviceState state); // "offered", "came-back", ...
std::optional<DeviceState> ParseDeviceState(std::string_view name);

// What one session of a device says about a release: the version it announced compared with the
// release's (negative older, else the same or newer; nothing when it announced none), whether
// the server began to send the release, and whether the session ended with "AllOK".
struct SessionFacts {
    std::optional<int> announced;
    bool offered = false;
    bool downloaded = false;
};
DeviceState NextState(DeviceState state, const SessionFacts& facts);

// A release's devices by state, each counted once.
struct ReleaseCounts {
    uint64_t offered = 0;
    uint64_t downloaded = 0;
    uint64_t installed = 0;
    uint64_t cameBack = 0;

    uint64_t& Of(DeviceState state);
};
ReleaseCounts operator-(const ReleaseCounts& a, const ReleaseCounts& b); // never below 0

// The stage's devices allow the next stage: at least `advance` installed, and came back ÷
// (installed + came back) at most the halt share.
bool StageComplete(const ReleaseCounts& stage, const RolloutPlan& plan);
// The release must halt: at least kHaltMinCameBack came back and their share above the halt
// share (`counts` are those since the release was last resumed after a halt).
bool MustHalt(const ReleaseCounts& counts, const RolloutPlan& plan);
// "4.8%": came back ÷ (installed + came back), or "-" when both are 0.
std::string CameBackShare(const ReleaseCounts& counts);

enum class RolloutAction { Advance, Halt, Pause, Resume };
const char* RolloutActionName(RolloutAction action);
std::optional<RolloutAction> ParseRolloutAction(std::string_view name);

// How a release stands: halted, paused, done (at its last stage) or running.
const char* RolloutStateName(bool halted, bool paused, uint32_t percent);

// The stage after `percent`, or nothing at the last one.
std::optional<uint32_t> NextStage(const std::vector<uint32_t>& stages, uint32_t percent);
// The bucket range of the stage at `percent`: [the stage before it, percent).
uint32_t StageStart(const std::vector<uint32_t>& stages, uint32_t percent);
// The stage to keep when a plan changes: `percent` when it is one of the stages, else the largest
// stage below it, else the first.
uint32_t FitStage(const std::vector<uint32_t>& stages, uint32_t percent);

// Whether the server offers a staged release to a device: not when the release is halted
// (unless the device downloaded it before: it may be half-programmed), else when its bucket is
// below the current stage's percentage.
bool Offered(uint32_t bucket, uint32_t percent, bool halted, bool downloadedBefore);
