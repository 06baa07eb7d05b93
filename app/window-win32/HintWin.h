#pragma once
// The guided loader-entry dialog HintForm on Windows: four modal steps, each with one photo and a
// red text, that walk the user through restarting the device into its loader. It has a caption
// but no close button: it waits for an answer.
#include "Win32Window.h"

#include <string>

class THintForm {
public:
    // Modal results of the three buttons.
    enum { ResultSeen = 1, ResultNotSeen = 2, ResultDone = 6 };

    // `owner` is the main window: the dialog stays above it, centred over it, and disables it
    // while shown.
    explicit THintForm(HWND owner);
    ~THintForm();
    THintForm(const THintForm&) = delete;
    THintForm& operator=(const THintForm&) = delete;

    // Runs the steps until the user answers "看到了" in the fourth; afterwards the modal result
    // is 0 again, so the next call starts at the first step. Ends early, leaving the request in
    // the queue, when the program is asked to end.
    void ShowHintSteps();
    // Shows the dialog modally until a button (or closing it) gives a result, and returns it.
    int ShowModal();
    // Ends the modal display with `result` (the buttons; the tests answer this way too).
    void EndModal(int result) { modalResult_ = result; }
    bool Shown() const { return IsWindowVisible(window_) != FALSE; }

    HWND Handle() const { return window_; }
    HWND But2 = nullptr; // "看到了"
    HWND But1 = nullptr; // "完 成"
    HWND But3 = nullptr; // "没有看到"
    HWND IMG1 = nullptr;
    HWND HintMemo = nullptr;
    HWND IMG2 = nullptr;
    HWND IMG3 = nullptr;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void ApplyDpi(UINT dpi);
    void SetMemo(const std::string& text);
    // One step: the pictures and buttons as given, the text, then the modal display.
    int ShowStep(HWND picture, bool lastStep, const std::string& text);

    HWND owner_;
    HWND window_ = nullptr;
    HFONT buttonFont_ = nullptr, memoFont_ = nullptr;
    int modalResult_ = 0;
    bool quit_ = false; // the program is ending: no further step
};

extern THintForm* HintForm;
