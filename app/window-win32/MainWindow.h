#pragma once
// The main window Form_Main on Windows: the information page, the device type and port boxes,
// the progress bar, the status line, the two pictures and the two buttons, laid out as designed
// (scaled from 96 dpi to the window's dpi), and the handlers of its buttons, its timer and its
// events. Everything here runs on the window's thread; the workflow and the device and server
// links reach the window through Link().
#include "Win32Window.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TInfoBrowser;
class TWindowThreadLink;

class TForm_Main {
public:
    // `arguments` are the command-line arguments after the program name, UTF-8.
    explicit TForm_Main(std::vector<std::string> arguments);
    ~TForm_Main();
    TForm_Main(const TForm_Main&) = delete;
    TForm_Main& operator=(const TForm_Main&) = delete;

    // The start action run by But_Stat (user click or the automatic start) and the cancel
    // action of But_Stop. The workflow installs them; without one a click does nothing.
    std::function<void()> OnStart;
    std::function<void()> OnStop;
    // Asked when the window is to be closed: false keeps it open (the workflow defers the close
    // until its action has ended, and then asks the program to end). Unset: it closes.
    std::function<bool()> OnCloseRequest;

    // Shows the window (and its task-bar entry).
    void Show();
    HWND Handle() const { return window_; }
    // The window as the workflow and the device and server links see it (TWorkflowUI), callable
    // from any thread.
    TWindowThreadLink& Link() { return *link_; }
    // Runs the calls other threads have posted to the window that still wait.
    void DeliverPostedCalls();
    TInfoBrowser& Browser() { return *browser_; }

    // The status line Lab_Err, with its copy on standard error.
    void SetStatusText(const std::string& text);
    // Why the last action failed (one English line, also on standard error): the status line's
    // tooltip, and what its context menu entry copies for support. An empty text clears it.
    void SetCause(const std::string& cause);
    const std::string& Cause() const { return cause_; }
    // The tooltip of the status line as its control holds it.
    std::string StatusTooltip() const;
    // Puts the cause on the clipboard.
    void CopyCause();

    // The two display boxes: the chosen entry, or the box's own text when none is chosen.
    std::string BoxText(HWND box) const;
    void SetDeviceTypeText(const std::string& text);
    // Chooses the port box's entry "COM<comId>" (added when it is beyond COM16).
    void SelectPort(int comId);
    // What the port box's tooltip shows now: the chosen port's path and what the system says
    // about it, or every port when none is chosen (PortOverview).
    std::string PortTooltip() const;

    // The controls, named as in the window's design. WebBrowser is the page's container.
    HWND But_Stat = nullptr;
    HWND PBar = nullptr;
    HWND But_Stop = nullptr;
    HWND WebBrowser = nullptr;
    HWND CBox_HardTyp = nullptr;
    HWND CBox_COMIID = nullptr;
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Lab_Err = nullptr;
    HWND IMG1 = nullptr;
    HWND IMG2 = nullptr;
    // TimerAutoGrade is the window's timer TimerAutoGradeId, armed at creation.
    static constexpr UINT_PTR TimerAutoGradeId = 1;
    bool TimerAutoGradeArmed() const { return autoGradeArmed_; }

    void But_StatClick();
    void But_StopClick();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ApplicationProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    // The window's messages, each to its handler.
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    // The handlers (true: handled, no default processing).
    void OnCommand(WPARAM wParam);
    bool OnContextMenu(HWND control, LPARAM lParam);
    bool OnSysCommand(WPARAM command);
    void OnDpiChanged(UINT dpi, const RECT& suggested);
    void OnClose();
    void CreateControls();
    void FormCreate();
    void TimerAutoGradeTimer();
    // Fonts and places for the window's dpi.
    void ApplyDpi(UINT dpi);
    void DrawItem(const DRAWITEMSTRUCT& item);
    void ShowCauseMenu(POINT at);
    // Fills the port box's tooltip as it is about to show (true: the notification was that).
    bool OnTooltipText(NMHDR& header);

    std::vector<std::string> arguments_;
    // The hidden application window that owns Form_Main and carries the task-bar entry with the
    // application title.
    HWND application_ = nullptr;
    HWND window_ = nullptr;
    HWND tooltip_ = nullptr;
    // The port box's own tooltip (tooltip_ is switched off without a cause): a rectangle of the
    // window over the box, since the disabled box gets no mouse messages itself.
    HWND portTooltip_ = nullptr;
    std::wstring portTip_; // the text it shows, kept while it shows it
    UINT dpi_ = 96;
    HFONT font_ = nullptr, buttonFont_ = nullptr, smallFont_ = nullptr, barFont_ = nullptr;
    HICON icon_ = nullptr;
    std::wstring deviceTypeText_; // CBox_HardTyp's own text (no entry chosen)
    std::wstring portText_;       // CBox_COMIID's own text
    std::string cause_;
    bool autoGradeArmed_ = false;
    std::chrono::steady_clock::time_point autoGradeArmedAt_;
    std::unique_ptr<TInfoBrowser> browser_;
    std::unique_ptr<TWindowThreadLink> link_; // made once the controls exist
};

// The program's main window, one for the whole run (set by the program's start).
extern TForm_Main* Form_Main;
