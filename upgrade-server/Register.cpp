#include "Register.h"

namespace {
std::string CountsText(const ReleaseCounts& c) {
    return "offered=" + std::to_string(c.offered) + " downloaded=" + std::to_string(c.downloaded) +
           " installed=" + std::to_string(c.installed) + " came-back=" + std::to_string(c.cameBack);
}
} // namespace

std::string RolloutEventText(const RolloutEvent& e) {
    std::string text = "rollout " + e.type + " " + e.version + " " + RolloutActionName(e.action);
    const std::string by = e.byOperator ? " by an operator" : "";
    switch (e.action) {
    case RolloutAction::Advance:
        text += by + " " + std::to_string(e.fromPercent) + "% -> " + std::to_string(e.toPercent) +
                "%: stage installed=" + std::to_string(e.stage.installed) +
                " came-back=" + std::to_string(e.stage.cameBack) +
                " share=" + CameBackShare(e.stage) + " (advance=" + std::to_string(e.plan.advance) +
                " halt=" + PercentText(e.plan.haltBasisPoints) + "); release " +
                CountsText(e.counts);
        break;
    case RolloutAction::Halt:
        text += by + " at " + std::to_string(e.fromPercent) + "%: " + CountsText(e.counts) +
                " share=" + CameBackShare(e.counts) +
                " (halt=" + PercentText(e.plan.haltBasisPoints) +
                "); offered only to devices that downloaded it";
        break;
    case RolloutAction::Pause:
    case RolloutAction::Resume:
        text += by + " at " + std::to_string(e.fromPercent) + "%: release " + CountsText(e.counts);
        break;
    }
    return text;
}
