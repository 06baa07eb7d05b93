// The Win32 window: its controls read back with Win32 messages after the calls of the workflow
// from the worker thread and from the window's thread, the automatic start, the close during an
// action, the guided steps, and the information page's fallback (wine has no browser engine).
// The whole upgrade in the window runs in tests/windows (show-upgrade).
#include "Deadline.h"
#include "GifPicture.h"
#include "HintSteps.h"
#include "HintWin.h"
#include "InfoBrowser.h"
#include "MainWindow.h"
#include "Program.h"
#include "WideText_win32.h"
#include "WindowThreadLink.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {
using namespace std::chrono_literals;

void Click(HWND button) {
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

class Window : public ::testing::Test {
protected:
    void Open(const std::vector<std::string>& arguments = {}) {
        // Loopback only: nothing answers there, as nothing renders a page under wine.
        SetEnvironmentVariableW(L"KESTREL_INFO_BASE_URL", L"http://127.0.0.1:9");
        CreateProgramWindows(arguments);
        Form_Main->Show();
    }
    void TearDown() override { DestroyProgramWindows(); }
    TForm_Main& Form() { return *Form_Main; }
    // Runs the window's messages until `condition` holds.
    bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
        return WaitUntil(
            [&] {
                Form().Link().ProcessMessages();
                return condition();
            },
            limit);
    }
};

TEST_F(Window, StartsAsDesigned) {
    Open();
    HWND main = Form().Handle();
    EXPECT_EQ(WindowTextOf(main), "VELT在线升级1.4");
    EXPECT_EQ(WindowTextOf(GetWindow(main, GW_OWNER)), "VELT在线升级V1.0");
    RECT client, frame;
    GetClientRect(main, &client);
    GetWindowRect(main, &frame);
    const UINT dpi = WindowDpi(main);
    // The design's client area without the skin's caption band (the system's caption is the
    // title bar here), and the page right below the caption: no empty band between them.
    EXPECT_EQ(client.right, Scaled(363, dpi));
    EXPECT_EQ(client.bottom, Scaled(486 - 30, dpi));
    RECT page;
    GetWindowRect(Form().WebBrowser, &page);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&page), 2);
    EXPECT_EQ(page.top, Scaled(2, dpi));
    EXPECT_EQ(frame.left, 0);
    EXPECT_EQ(frame.top, 0);
    const LONG style = GetWindowLongW(main, GWL_STYLE);
    EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));
    struct Expected {
        HWND control;
        std::string text;
        bool enabled, visible;
    };
    for (const Expected& e : std::vector<Expected>{
             {Form().But_Stat, "在线更新", true, true},
             {Form().But_Stop, "取消操作", false, true},
             {Form().Label1, "设备类型：", true, true},
             {Form().Label2, "通讯端口：", true, true},
             {Form().Lab_Err, "VELT在线升级：请连接QX40设备后按[在线更新]", true, true},
             {Form().IMG1, "", true, true},
             {Form().IMG2, "", true, false}}) {
        EXPECT_EQ(WindowTextOf(e.control), e.text);
        EXPECT_EQ(IsWindowEnabled(e.control) != FALSE, e.enabled) << e.text;
        EXPECT_EQ(IsWindowVisible(e.control) != FALSE, e.visible) << e.text;
    }
    EXPECT_EQ(Form().BoxText(Form().CBox_HardTyp), "未连接");
    EXPECT_EQ(Form().BoxText(Form().CBox_COMIID), "未使用");
    EXPECT_EQ(SendMessageW(Form().CBox_COMIID, CB_GETCOUNT, 0, 0), 16);
    EXPECT_FALSE(IsWindowEnabled(Form().CBox_HardTyp) || IsWindowEnabled(Form().CBox_COMIID));
    EXPECT_EQ(SendMessageW(Form().PBar, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(SendMessageW(Form().PBar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_TRUE(Form().TimerAutoGradeArmed());
}

// A move to a monitor of another dpi: the layout scaled from 96 dpi to the new one.
TEST_F(Window, ScalesTheLayoutToANewDpi) {
    Open();
    const UINT dpi = 144;
    const SIZE frame =
        FrameSize(static_cast<DWORD>(GetWindowLongW(Form().Handle(), GWL_STYLE)), 363, 486, dpi);
    RECT suggested{0, 0, frame.cx, frame.cy};
    SendMessageW(Form().Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT client, button;
    GetClientRect(Form().Handle(), &client);
    EXPECT_EQ(client.right, Scaled(363, dpi));
    GetWindowRect(Form().But_Stat, &button);
    MapWindowPoints(nullptr, Form().Handle(), reinterpret_cast<POINT*>(&button), 2);
    EXPECT_EQ(button.left, Scaled(21, dpi));
    EXPECT_EQ(button.top, Scaled(387 - 30, dpi));
    EXPECT_EQ(button.right - button.left, Scaled(100, dpi));
}

// From the worker the calls are posted and return at once (the window's thread does not run
// meanwhile); from the window's thread they act at once.
TEST_F(Window, WorkflowCallsReachTheControls) {
    Open();
    for (bool fromWorker : {true, false}) {
        SCOPED_TRACE(fromWorker ? "worker thread" : "window thread");
        const std::string status = fromWorker ? "连接成功！" : "软件更新成功！";
        const int port = fromWorker ? 3 : 20;
        auto calls = [&, &ui = Form().Link()] {
            ui.ShowStatus(status);
            ui.ProgressBar().SetMax(200);
            ui.ProgressBar().SetPosition(fromWorker ? 50 : 500);
            ui.SetStartEnabled(false);
            ui.SetStopEnabled(true);
            ui.ShowBusy(true);
            ui.ShowPort({.path = "\\\\.\\COM" + std::to_string(port), .number = port});
            ui.SetDeviceType("QX40 1.20");
            ui.ShowCause("port COM3: no answer");
        };
        if (fromWorker) {
            std::thread(calls).join();
            EXPECT_NE(WindowTextOf(Form().Lab_Err), status); // posted, not yet run
        } else {
            calls();
        }
        ASSERT_TRUE(PumpUntil([&] { return WindowTextOf(Form().Lab_Err) == status; }));
        EXPECT_EQ(SendMessageW(Form().PBar, PBM_GETRANGE, FALSE, 0), 200);
        EXPECT_EQ(SendMessageW(Form().PBar, PBM_GETPOS, 0, 0), fromWorker ? 50 : 200);
        EXPECT_FALSE(IsWindowEnabled(Form().But_Stat));
        EXPECT_TRUE(IsWindowEnabled(Form().But_Stop));
        EXPECT_TRUE(IsWindowVisible(Form().IMG2));
        EXPECT_FALSE(IsWindowVisible(Form().IMG1));
        EXPECT_EQ(Form().BoxText(Form().CBox_COMIID), "COM" + std::to_string(port));
        // Its tooltip follows the chosen port (wine's device list has no details to add).
        EXPECT_EQ(Form().PortTooltip(), "COM" + std::to_string(port));
        EXPECT_EQ(Form().BoxText(Form().CBox_HardTyp), "QX40 1.20");
        EXPECT_EQ(Form().Link().DeviceType(), "QX40 1.20");
        EXPECT_EQ(Form().StatusTooltip(), "失败原因（右键可复制）：\nport COM3: no answer");
        // The busy picture runs while shown, and stops when hidden.
        const long long changes = GifPicture::FrameChanges(Form().IMG2);
        EXPECT_TRUE(
            PumpUntil([&] { return GifPicture::FrameChanges(Form().IMG2) >= changes + 2; }));
        Form().Link().ShowBusy(false);
        EXPECT_FALSE(GifPicture::IsAnimating(Form().IMG2));
        EXPECT_TRUE(IsWindowVisible(Form().IMG1));
    }
    // A new action clears the cause.
    EnableWindow(Form().But_Stat, TRUE);
    Form().OnStart = [] {};
    Click(Form().But_Stat);
    EXPECT_EQ(Form().StatusTooltip(), "");
}

TEST_F(Window, AutomaticStartOnlyWithAGFirst) {
    for (const auto& [arguments, starts] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{"ag"}, 1}, {{"AG"}, 1}, {{"/AG"}, 0}, {{"x", "AG"}, 0}}) {
        const auto created = std::chrono::steady_clock::now();
        Open(arguments);
        int started = 0;
        Form().OnStart = [&] { ++started; };
        ASSERT_TRUE(PumpUntil([&] { return !Form().TimerAutoGradeArmed(); }));
        EXPECT_GE(std::chrono::steady_clock::now() - created, 2000ms);
        EXPECT_EQ(started, starts) << arguments.back();
        DestroyProgramWindows();
    }
}

// Closing while an action runs keeps the window until the action has ended; then the program's
// end request ends the message loop.
TEST_F(Window, CloseDuringAnActionWaitsForIt) {
    Open();
    bool running = false, closeAsked = false, shownAfterClose = false;
    Form().OnCloseRequest = [&] {
        closeAsked = true;
        return !running;
    };
    Form().OnStart = [&] {
        running = true;
        PostMessageW(Form().Handle(), WM_CLOSE, 0, 0);
        while (!closeAsked)
            Form().Link().ProcessMessages();
        shownAfterClose = IsWindowVisible(Form().Handle()) != FALSE;
        running = false;
        Form().Link().RequestTerminate();
    };
    Form().Show();
    Click(Form().But_Stat);
    EXPECT_TRUE(shownAfterClose);
    EXPECT_EQ(RunMessageLoop(), 0);
}

// The steps until "看到了": "没有看到" in the fourth starts them again.
TEST_F(Window, HintStepsRepeatUntilSeen) {
    Open();
    THintForm& hint = *HintForm;
    const std::vector<int> answers{6, 6, 6, 2, 6, 6, 6, 1};
    std::vector<std::string> seen; // each display: the picture shown, the buttons shown, the text
    std::function<void()> answer = [&] {
        if (!hint.Shown())
            return PostCall(Form().Handle(), answer);
        std::string state;
        for (HWND control : {hint.IMG1, hint.IMG2, hint.IMG3, hint.But1, hint.But2, hint.But3})
            state += IsWindowVisible(control) ? '1' : '0';
        seen.push_back(state + " " + WindowTextOf(hint.HintMemo));
        hint.EndModal(answers[seen.size() - 1]);
        if (seen.size() < answers.size())
            PostCall(Form().Handle(), answer);
    };
    PostCall(Form().Handle(), answer);
    Form().Link().ShowHintSteps();
    const std::string first =
        "100100 " + std::string(HintText::Steps[0]) + "\r\n" + HintText::Steps[1];
    const std::vector<std::string> pass{first, "010100 " + std::string(HintText::Steps[2]),
                                        "001100 " + std::string(HintText::Steps[3]),
                                        "001011 " + std::string(HintText::Steps[4])};
    std::vector<std::string> expected = pass;
    expected.insert(expected.end(), pass.begin(), pass.end());
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(hint.Shown());
}

// No browser engine under wine: the local page, with the reason, the address and the reload link.
TEST_F(Window, InformationPageFallsBackToItsLocalPage) {
    Open();
    TInfoBrowser& browser = Form().Browser();
    EXPECT_EQ(browser.Url(), "http://127.0.0.1:9/url/QX40Info.htm");
    for (int load = 0; load < 2; ++load) {
        ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(browser.FallbackText()) != FALSE; }));
        EXPECT_FALSE(browser.LoadError().empty());
        const std::string text = WindowTextOf(browser.FallbackText());
        EXPECT_NE(text.find("设备信息暂时无法显示"), std::string::npos) << text;
        EXPECT_NE(text.find(browser.Url()), std::string::npos) << text;
        EXPECT_NE(text.find(browser.LoadError()), std::string::npos) << text;
        EXPECT_TRUE(IsWindowVisible(browser.ReloadLink()));
        EXPECT_NE(WindowTextOf(browser.ReloadLink()).find("重新加载"), std::string::npos);
        browser.Reload();
    }
}

} // namespace
