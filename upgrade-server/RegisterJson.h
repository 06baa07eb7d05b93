#pragma once
// What the register answers, as the JSON of the operator's commands (--json) and of the
// dashboard: keys in snake_case, times as UTC text with milliseconds
// ("2026-12-07T19:52:03.120Z"), a value a device did not announce as null.
#include "Json.h"
#include "Register.h"

#include <cstdint>
#include <string>

// Unix time in milliseconds as the log writes times.
std::string TimeText(int64_t ms);
// How a release stands: running, paused, halted or done (a release without a rollout is done).
const char* ReleaseStateText(const ReleaseRow& release);

// Type, version, its rollout (stages, percent, state, advance, halt), its devices by state
// (offered, downloaded, installed, came_back) and when it last changed (updated).
TJson ReleaseJson(const ReleaseRow& release);
// The release's figures at one minute: at, offered, downloaded, installed, came_back.
TJson PointJson(const ReleasePoint& point);
// A rollout change: at, action, actor (server or operator), from_percent, to_percent, the
// release's figures it was made on and its stage's (stage_installed, stage_came_back).
TJson EventJson(const RolloutEvent& event);
// A device's latest state: original_id, type, first_seen, last_seen, sessions, peer, values
// (the 13 announced values by name), answer, end and release ({version, state} or null).
TJson DeviceJson(const DeviceRow& device);
// An ended session: ended, peer, values, answer, held_from, end, bytes_sent, duration_ms.
TJson SessionJson(const SessionRecord& session);
