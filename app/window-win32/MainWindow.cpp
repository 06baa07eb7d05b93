#include "MainWindow.h"

#include "GifPicture.h"
#include "InfoBrowser.h"
#include "PortInventory.h"
#include "PortInventoryRecords.h"
#include "Resources.h"
#include "TimeLimits.h"
#include "VisibleText.h"
#include "WideText_win32.h"
#include "Win32Window.h"
#include "WindowTexts.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

TForm_Main* Form_Main = nullptr;

namespace {
const wchar_t* const MainClass = L"KestrelMainWindow";
const wchar_t* const ApplicationClass = L"KestrelApplication";
// Dialog-style border: fixed size, no maximise button.
constexpr DWORD MainStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int ClientWidth = 363, ClientHeight = 486;

enum : int {
    IdStat = 101,
    IdStop,
    IdBar,
    IdBrowser,
    IdHardTyp,
    IdComId,
    IdLabel1,
    IdLabel2,
    IdErr,
    IdImg1,
    IdImg2,
    IdCopyCause = 201,
};

// The design of the window's controls (left, top, width, height at 96 dpi).
constexpr TDesignRect PlaceStat{21, 387, 100, 36}, PlaceBar{20, 339, 322, 12},
    PlaceStop{21, 435, 100, 36}, PlaceBrowser{2, 32, 359, 268}, PlaceHardTyp{82, 310, 93, 21},
    PlaceComId{275, 310, 67, 21}, PlaceLabel1{20, 314, 65, 13}, PlaceLabel2{212, 313, 62, 15},
    PlaceErr{20, 356, 323, 26}, PlaceImg1{180, 378, 161, 105}, PlaceImg2{224, 398, 65, 66};
// The height of a combo box's list when it would drop down (it never does: the boxes are
// disabled), beyond its field.
constexpr int ComboListHeight = 200;

// The progress bar keeps its class (PBM_* messages) but paints itself: the frame, the part done
// and the percentage followed by "%" (the system's bars draw no text).
LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                         DWORD_PTR font) {
    if (message == WM_ERASEBKGND)
        return 1;
    if (message != WM_PAINT)
        return DefSubclassProc(bar, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(bar, &paint);
    RECT all;
    GetClientRect(bar, &all);
    const int low = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
    const int high = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    const int position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    const int percent = high > low ? MulDiv(position - low, 100, high - low) : 0;
    HBRUSH frame = CreateSolidBrush(RGB(0x7d, 0x93, 0xb2));
    HBRUSH done = CreateSolidBrush(RGB(0x5f, 0xb8, 0x5b));
    HBRUSH rest = CreateSolidBrush(RGB(0xf2, 0xf5, 0xf9));
    FrameRect(dc, &all, frame);
    RECT inside = all;
    InflateRect(&inside, -1, -1);
    RECT left = inside, right = inside;
    left.right = right.left = inside.left + MulDiv(inside.right - inside.left, percent, 100);
    FillRect(dc, &left, done);
    FillRect(dc, &right, rest);
    const std::wstring text = std::to_wstring(percent) + L"%";
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x10, 0x32, 0x5c));
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(font));
    DrawTextW(dc, text.c_str(), -1, &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old);
    for (HBRUSH brush : {frame, done, rest})
        DeleteObject(brush);
    EndPaint(bar, &paint);
    return 0;
}

void RegisterClasses() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        windowClass.lpfnWndProc = [](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            return DefWindowProcW(w, m, wp, lp);
        };
        windowClass.lpszClassName = ApplicationClass;
        RegisterClassExW(&windowClass);
        windowClass.lpszClassName = MainClass;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
}

void SetFont(HWND control, HFONT font) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}
} // namespace

TForm_Main::TForm_Main(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {
    RegisterClasses();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // The application window: never seen itself, it owns the main window and so carries the
    // task-bar entry, which shows the application title rather than the window's caption.
    application_ = CreateWindowExW(0, ApplicationClass, Widen(WindowText::ApplicationTitle).c_str(),
                                   WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 0,
                                   nullptr, nullptr, instance, nullptr);
    SetWindowLongPtrW(application_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(application_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ApplicationProc));
    const SIZE frame = FrameSize(MainStyle, ClientWidth, ClientHeight, 96);
    window_ = CreateWindowExW(0, MainClass, Widen(WindowText::Caption).c_str(), MainStyle, 78, 110,
                              frame.cx, frame.cy, application_, nullptr, instance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));

    if (auto icon = DecodeGif(GifPicture::Resource(KESTREL_PICTURE_ICON))) {
        icon_ = GifPicture::MakeIcon(*icon);
        for (HWND w : {application_, window_}) {
            SendMessageW(w, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
            SendMessageW(w, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
        }
    }
    CreateControls();
    link_ = std::make_unique<TWindowThreadLink>(*this);
    FormCreate();
}

TForm_Main::~TForm_Main() {
    if (Form_Main == this)
        Form_Main = nullptr;
    KillTimer(window_, TimerAutoGradeId);
    browser_.reset();
    DiscardPostedCalls(window_);
    DestroyWindow(window_);
    DestroyWindow(application_);
    for (HFONT font : {font_, buttonFont_, smallFont_, barFont_})
        DeleteObject(font);
    if (icon_)
        DestroyIcon(icon_);
}

void TForm_Main::CreateControls() {
    But_Stat = MakeControl(window_, L"BUTTON", WindowText::Start,
                           WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, IdStat);
    PBar = MakeControl(window_, PROGRESS_CLASSW, {}, WS_VISIBLE | PBS_SMOOTH, IdBar);
    SendMessageW(PBar, PBM_SETRANGE32, 0, 100);
    SendMessageW(PBar, PBM_SETPOS, 0, 0);
    But_Stop = MakeControl(window_, L"BUTTON", WindowText::Stop,
                           WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, IdStop);
    // Display only, but legible: disabled, and drawn by the window in normal colours.
    const DWORD box = WS_VISIBLE | WS_DISABLED | WS_VSCROLL | CBS_DROPDOWNLIST |
                      CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
    CBox_HardTyp = MakeControl(window_, L"COMBOBOX", {}, box, IdHardTyp);
    SendMessageW(CBox_HardTyp, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Widen(WindowText::DeviceTypeEntry).c_str()));
    deviceTypeText_ = Widen(WindowText::NotConnected);
    CBox_COMIID = MakeControl(window_, L"COMBOBOX", {}, box, IdComId);
    for (int n = 1; n <= 16; ++n)
        SendMessageW(CBox_COMIID, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>((L"COM" + std::to_wstring(n)).c_str()));
    portText_ = Widen(WindowText::NotUsed);
    Label1 = MakeControl(window_, L"STATIC", WindowText::DeviceTypeLabel, WS_VISIBLE | SS_LEFT,
                         IdLabel1);
    Label2 = MakeControl(window_, L"STATIC", WindowText::PortLabel, WS_VISIBLE | SS_LEFT, IdLabel2);
    // Red, centred, word-wrapped: drawn by the window. SS_NOTIFY: it gets the mouse, for its
    // tooltip and its context menu.
    Lab_Err = MakeControl(window_, L"STATIC", {}, WS_VISIBLE | SS_OWNERDRAW | SS_NOTIFY, IdErr);
    IMG1 = GifPicture::Create(window_, IdImg1, WS_VISIBLE);
    GifPicture::Load(IMG1, GifPicture::Resource(KESTREL_PICTURE_EMBLEM), "emblem.gif");
    IMG2 = GifPicture::Create(window_, IdImg2);
    GifPicture::Load(IMG2, GifPicture::Resource(KESTREL_PICTURE_RADAR), "radar.gif");

    // The cause of a failure, for a user without a terminal: hover to read it, right-click to
    // copy it.
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0, window_,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(Lab_Err);
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tooltip_, TTM_ACTIVATE, FALSE, 0);
    // Which port is which: the box's tooltip names it (asked for as it shows, so it is current).
    portTooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                   WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0, window_,
                                   nullptr, GetModuleHandleW(nullptr), nullptr);
    TOOLINFOW portTool{};
    portTool.cbSize = sizeof portTool;
    portTool.uFlags = TTF_SUBCLASS;
    portTool.hwnd = window_;
    portTool.uId = IdComId;
    portTool.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(portTooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&portTool));

    // The browser comes last: its page may fail at once, and then shows its fallback.
    browser_ = std::make_unique<TInfoBrowser>(window_, IdBrowser, InfoPageUrl());
    WebBrowser = browser_->Handle();
    SetStatusText(WindowText::InitialStatus);
}

void TForm_Main::FormCreate() {
    // The browser was sent to the information page when it was created.
    SetWindowTextW(window_, (Widen(WindowText::Caption) + Widen(KestrelToolVersion)).c_str());
    // Always at the screen's top-left corner, whatever the designed place.
    SetWindowPos(window_, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyDpi(WindowDpi(window_));
    // TimerAutoGrade: one tick, 2000 ms after creation.
    SetTimer(window_, TimerAutoGradeId, static_cast<UINT>(WindowLimits::AutoStart.count()),
             nullptr);
    autoGradeArmedAt_ = std::chrono::steady_clock::now();
    autoGradeArmed_ = true;
}

void TForm_Main::Show() {
    ShowWindow(application_, SW_SHOWNOACTIVATE); // no size of its own: only the task-bar entry
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
}

void TForm_Main::ApplyDpi(UINT dpi) {
    dpi_ = dpi;
    const HFONT old[] = {font_, buttonFont_, smallFont_, barFont_};
    font_ = MakeChineseFont(12, false, dpi);
    buttonFont_ = MakeChineseFont(14, true, dpi);
    smallFont_ = MakeChineseFont(11, false, dpi); // Lab_Err: 8 points
    barFont_ = MakeChineseFont(10, false, dpi);
    for (HWND control : {But_Stat, But_Stop})
        SetFont(control, buttonFont_);
    for (HWND control : {CBox_HardTyp, CBox_COMIID, Label1, Label2})
        SetFont(control, font_);
    SetFont(Lab_Err, smallFont_);
    SetFont(tooltip_, font_);
    SetFont(portTooltip_, font_);
    RemoveWindowSubclass(PBar, BarProc, 1);
    SetWindowSubclass(PBar, BarProc, 1, reinterpret_cast<DWORD_PTR>(barFont_));
    // The boxes' field: the design height less the box's border.
    for (HWND box : {CBox_HardTyp, CBox_COMIID})
        SendMessageW(box, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), Scaled(21 - 6, dpi));
    const std::pair<HWND, TDesignRect> places[] = {
        {But_Stat, PlaceStat},
        {PBar, PlaceBar},
        {But_Stop, PlaceStop},
        {Label1, PlaceLabel1},
        {Label2, PlaceLabel2},
        {Lab_Err, PlaceErr},
        {IMG1, PlaceImg1},
        {IMG2, PlaceImg2},
        {WebBrowser, PlaceBrowser},
        {CBox_HardTyp, {PlaceHardTyp.left, PlaceHardTyp.top, PlaceHardTyp.width, ComboListHeight}},
        {CBox_COMIID, {PlaceComId.left, PlaceComId.top, PlaceComId.width, ComboListHeight}}};
    for (const auto& [control, place] : places)
        PlaceControl(control, place, dpi);
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Scaled(360, dpi));
    SendMessageW(portTooltip_, TTM_SETMAXTIPWIDTH, 0, Scaled(480, dpi));
    TOOLINFOW portTool{};
    portTool.cbSize = sizeof portTool;
    portTool.hwnd = window_;
    portTool.uId = IdComId;
    GetWindowRect(CBox_COMIID, &portTool.rect);
    MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&portTool.rect), 2);
    // The field only, not the list height the box was placed with.
    portTool.rect.bottom = portTool.rect.top + Scaled(PlaceComId.height, dpi);
    SendMessageW(portTooltip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&portTool));
    browser_->ApplyDpi(dpi);
    for (HFONT font : old)
        DeleteObject(font);
    InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK TForm_Main::ApplicationProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    auto* form = reinterpret_cast<TForm_Main*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // Chosen from the task bar: the main window is what the user means.
    if (form && message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE &&
        IsWindowVisible(form->window_) && IsWindowEnabled(form->window_)) {
        SetActiveWindow(form->window_);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TForm_Main::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<TForm_Main*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(window, message, wParam, lParam);
    return form->Handle(message, wParam, lParam);
}

LRESULT TForm_Main::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KESTREL_CALL:
        RunPostedCall(lParam);
        return 0;
    case WM_KESTREL_TERMINATE:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        OnCommand(wParam);
        return 0;
    case WM_TIMER:
        if (wParam == TimerAutoGradeId)
            TimerAutoGradeTimer();
        return 0;
    case WM_DRAWITEM:
        DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_MEASUREITEM:
        reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight =
            static_cast<UINT>(Scaled(21 - 6, dpi_));
        return TRUE;
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_NOTIFY:
        if (OnTooltipText(*reinterpret_cast<NMHDR*>(lParam)))
            return 0;
        break;
    case WM_CONTEXTMENU:
        if (OnContextMenu(reinterpret_cast<HWND>(wParam), lParam))
            return 0;
        break;
    case WM_SHOWWINDOW:
        if (wParam)
            for (HWND picture : {IMG1, IMG2})
                GifPicture::Resume(picture);
        break;
    case WM_SYSCOMMAND:
        if (OnSysCommand(wParam))
            return 0;
        break;
    case WM_DPICHANGED:
        OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void TForm_Main::OnCommand(WPARAM wParam) {
    if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IdStat)
        But_StatClick();
    else if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IdStop)
        But_StopClick();
}

bool TForm_Main::OnContextMenu(HWND control, LPARAM lParam) {
    if (control != Lab_Err)
        return false;
    POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (at.x == -1 && at.y == -1) { // from the keyboard: below the status line
        RECT place;
        GetWindowRect(Lab_Err, &place);
        at = {place.left, place.bottom};
    }
    ShowCauseMenu(at);
    return true;
}

bool TForm_Main::OnSysCommand(WPARAM command) {
    // Minimised with its application window, which keeps the task-bar entry.
    if ((command & 0xfff0) != SC_MINIMIZE)
        return false;
    ShowWindow(application_, SW_MINIMIZE);
    return true;
}

void TForm_Main::OnDpiChanged(UINT dpi, const RECT& suggested) {
    SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyDpi(dpi);
}

void TForm_Main::OnClose() {
    if (OnCloseRequest && !OnCloseRequest())
        return; // the workflow ends the program once its action has ended
    // The windows live until the program ends: hidden now, destroyed after the loop.
    ShowWindow(window_, SW_HIDE);
    PostQuitMessage(0);
}

void TForm_Main::DrawItem(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT place = item.rcItem;
    SetBkMode(dc, TRANSPARENT);
    if (item.hwndItem == Lab_Err) {
        const std::wstring text = Widen(WindowTextOf(Lab_Err));
        FillRect(dc, &place, GetSysColorBrush(COLOR_BTNFACE));
        HGDIOBJ old = SelectObject(dc, smallFont_);
        SetTextColor(dc, RGB(255, 0, 0));
        // Centred both ways: the height of the wrapped text decides the top.
        RECT measured = place;
        DrawTextW(dc, text.c_str(), -1, &measured,
                  DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
        place.top +=
            std::max(0L, ((place.bottom - place.top) - (measured.bottom - measured.top)) / 2);
        DrawTextW(dc, text.c_str(), -1, &place, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
        SelectObject(dc, old);
        return;
    }
    if (item.CtlType != ODT_COMBOBOX)
        return;
    std::wstring text;
    if (item.itemID != static_cast<UINT>(-1)) {
        text.resize(
            static_cast<size_t>(SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0)) + 1);
        text.resize(static_cast<size_t>(SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID,
                                                     reinterpret_cast<LPARAM>(text.data()))));
    } else {
        text = item.hwndItem == CBox_HardTyp ? deviceTypeText_ : portText_;
    }
    FillRect(dc, &place, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetTextColor(dc, RGB(0x1b, 0x2a, 0x3c));
    place.left += Scaled(3, dpi_);
    DrawTextW(dc, text.c_str(), -1, &place, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

void TForm_Main::ShowCauseMenu(POINT at) {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING | (cause_.empty() ? MF_GRAYED : 0u), IdCopyCause,
                Widen(WindowText::CopyCause).c_str());
    const int chosen =
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
    DestroyMenu(menu);
    if (chosen == IdCopyCause)
        CopyCause();
}

void TForm_Main::TimerAutoGradeTimer() {
    // A window timer may fire a little early (wine's do): the start comes no sooner than AutoStart
    // after creation.
    const auto early = std::chrono::ceil<std::chrono::milliseconds>(
        WindowLimits::AutoStart - (std::chrono::steady_clock::now() - autoGradeArmedAt_));
    if (early.count() > 0) {
        SetTimer(window_, TimerAutoGradeId, static_cast<UINT>(early.count()), nullptr);
        return;
    }
    KillTimer(window_, TimerAutoGradeId);
    autoGradeArmed_ = false;
    std::string first = arguments_.empty() ? std::string() : arguments_.front();
    std::transform(first.begin(), first.end(), first.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (first == "AG") // a programmatic click: the same as the user's
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(IdStat, BN_CLICKED),
                     reinterpret_cast<LPARAM>(But_Stat));
}

void TForm_Main::But_StatClick() {
    // A click while the action runs (it processes window messages, and the worker enables the
    // button as the exchange ends) reaches the workflow, which starts one action at a time.
    if (!OnStart)
        return;
    // The cause of an earlier failure does not belong to the action that begins now.
    if (IsWindowEnabled(But_Stat))
        SetCause({});
    OnStart();
}

void TForm_Main::DeliverPostedCalls() {
    ::DeliverPostedCalls(Handle());
}

void TForm_Main::But_StopClick() {
    if (OnStop)
        OnStop();
}

void TForm_Main::SetStatusText(const std::string& text) {
    SetWindowTextW(Lab_Err, Widen(text).c_str());
    InvalidateRect(Lab_Err, nullptr, TRUE);
    EchoToTerminal(text);
}

void TForm_Main::SetCause(const std::string& cause) {
    // The cause may quote the server or the device: shown and copied with its controls escaped,
    // so that it stays one line in its own order.
    cause_ = VisibleText(cause);
    const std::wstring tip =
        cause_.empty() ? std::wstring() : Widen(std::string(WindowText::CauseTooltip) + cause_);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(Lab_Err);
    tool.lpszText = const_cast<wchar_t*>(tip.c_str());
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tooltip_, TTM_ACTIVATE, cause_.empty() ? FALSE : TRUE, 0);
    if (!cause_.empty())
        EchoToTerminal(cause_);
}

std::string TForm_Main::StatusTooltip() const {
    std::wstring text(1024, L'\0');
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(Lab_Err);
    tool.lpszText = text.data();
    SendMessageW(tooltip_, TTM_GETTEXTW, text.size(), reinterpret_cast<LPARAM>(&tool));
    text.resize(wcslen(text.c_str()));
    return Narrow(text);
}

void TForm_Main::CopyCause() {
    if (cause_.empty() || !OpenClipboard(window_))
        return;
    EmptyClipboard();
    const std::wstring text = Widen(cause_);
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        std::memcpy(GlobalLock(memory), text.c_str(), bytes);
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory))
            GlobalFree(memory);
    }
    CloseClipboard();
}

std::string TForm_Main::BoxText(HWND box) const {
    const LRESULT chosen = SendMessageW(box, CB_GETCURSEL, 0, 0);
    if (chosen == CB_ERR)
        return Narrow(box == CBox_HardTyp ? deviceTypeText_ : portText_);
    std::wstring text(
        static_cast<size_t>(SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(chosen), 0)) + 1,
        L'\0');
    text.resize(static_cast<size_t>(SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(chosen),
                                                 reinterpret_cast<LPARAM>(text.data()))));
    return Narrow(text);
}

void TForm_Main::SetDeviceTypeText(const std::string& text) {
    SendMessageW(CBox_HardTyp, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    deviceTypeText_ = Widen(text);
    InvalidateRect(CBox_HardTyp, nullptr, TRUE);
}

std::string TForm_Main::PortTooltip() const {
    return PortOverview(ComNumber(BoxText(CBox_COMIID)));
}

bool TForm_Main::OnTooltipText(NMHDR& header) {
    if (header.hwndFrom != portTooltip_ || header.code != TTN_GETDISPINFOW)
        return false;
    // Lines end in CR LF for the tooltip control.
    portTip_.clear();
    for (wchar_t c : Widen(PortTooltip()))
        portTip_ += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
    reinterpret_cast<NMTTDISPINFOW&>(header).lpszText = portTip_.data();
    return true;
}

void TForm_Main::SelectPort(int comId) {
    if (comId < 1)
        return;
    // COM1 to COM16 are the box's own entries; a higher port gets an entry of its own.
    const std::wstring name = L"COM" + std::to_wstring(comId);
    LRESULT index = SendMessageW(CBox_COMIID, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(name.c_str()));
    if (index == CB_ERR)
        index = SendMessageW(CBox_COMIID, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(CBox_COMIID, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
