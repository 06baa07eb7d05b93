#pragma once
// The upgrade workflow tied to a window for as long as this object lives, the same for both
// windows:
//   But_Stat (a click or the automatic start)  -> the start action, one at a time;
//   But_Stop                                   -> cancels the running server exchange;
//   closing the window                         -> closes at once when idle; otherwise the close
//       waits for the action to end (an exchange is cancelled, discovery and programming run to
//       their end) and the program then ends.
// The workflow works on a device link of its own, whose waits process the window's messages, and
// on the server link it is handed.
// The workflow's end-of-program request and its error box are the window's own. `Form` has the
// handlers OnStart, OnStop and OnCloseRequest, Link() (the window as the workflow sees it) and
// DeliverPostedCalls() (runs the calls that other threads have posted to the window and that
// still wait).
#include "WindowTexts.h"
#include "Workflow.h"

#include <memory>
#include <optional>

template <typename Form> class TWindowWorkflow {
public:
    TWindowWorkflow(Form& form, TServerLink& server)
        : form_(form), device_(form.Link()),
          flow_(std::make_unique<TWorkflow>(form.Link(), device_, server)) {
        form_.OnStart = [this] { StartAction(); };
        form_.OnStop = [this] { flow_->Cancel(); };
        form_.OnCloseRequest = [this] { return flow_->RequestClose(); };
    }
    ~TWindowWorkflow() {
        form_.OnStart = nullptr;
        form_.OnStop = nullptr;
        form_.OnCloseRequest = nullptr;
    }
    TWindowWorkflow(const TWindowWorkflow&) = delete;
    TWindowWorkflow& operator=(const TWindowWorkflow&) = delete;

    TWorkflow& Flow() { return *flow_; }
    // How the last start action ended; nothing before the first one has ended.
    std::optional<TWorkflowResult> LastResult() const { return lastResult_; }

private:
    void StartAction() {
        const TWorkflowResult result = flow_->Start();
        if (result == TWorkflowResult::AlreadyRunning)
            return; // a click while the action runs: that action goes on, nothing else starts
        lastResult_ = result;
        if (result == TWorkflowResult::Cancelled) {
            // The worker's own message for the interrupted step is posted to the window; it
            // must not arrive after, and replace, the plain cancel text.
            form_.DeliverPostedCalls();
            form_.Link().ShowStatus(WindowText::Cancelled);
        }
    }

    Form& form_;
    TDeviceLink device_;
    std::unique_ptr<TWorkflow> flow_;
    std::optional<TWorkflowResult> lastResult_;
};
