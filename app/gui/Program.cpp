#include "Program.h"

#ifdef KESTREL_WEBENGINE
#include "BrowserMemory.h"
#endif
#include "HintWin.h"
#include "MainWindow.h"
#include "WindowTexts.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

std::string ProgramUsage() {
    return WindowProgramUsage(
        "ports, asks the upgrade server for new firmware and programs it.\n",
        "  KESTREL_PORTS          ':'-separated device paths that replace the system's list\n"
        "                         of serial ports (port N is the N-th entry)\n"
        "  KESTREL_BROWSER_LOG=1  let the embedded browser's own diagnostics through to\n"
        "                         standard error\n",
        "Status texts, and the cause of a failure, are echoed on standard error.\n"
        "Exit status: 0 when the window was closed (or the tool replaced itself, or the window\n"
        "was open already and came to the front), 1 when no graphical display could be opened\n"
        "or the program failed unexpectedly (the reason on standard error), 2 for a command\n"
        "line it does not take.\n");
}

namespace {
// The handler in place before ours, which every message we keep goes on to.
QtMessageHandler& PreviousHandler() {
    static QtMessageHandler previous = nullptr;
    return previous;
}

bool& QuietBrowser() {
    static bool quiet = true;
    return quiet;
}

// Without a display the window cannot start, and Qt ends the program with an abort: say why,
// and what works instead, and end with status 1.
[[noreturn]] void NoDisplay() {
    const QByteArray display = qgetenv("DISPLAY"), wayland = qgetenv("WAYLAND_DISPLAY");
    std::fprintf(stderr,
                 "kestrel: no graphical display could be opened (DISPLAY=\"%s\", "
                 "WAYLAND_DISPLAY=\"%s\"): the window needs one. Start kestrel on the desktop, "
                 "or use kestrel-cli, which works without a display (kestrel-cli update).\n",
                 display.constData(), wayland.constData());
    std::fflush(stderr);
    std::_Exit(1);
}

// Drops the embedded browser's JavaScript console and its context reports (unless its log is
// wanted); every other message goes on as before.
void ProgramMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg && text.contains(QLatin1String("no Qt platform plugin could be")))
        NoDisplay();
    const char* category = context.category ? context.category : "";
    if (QuietBrowser()) {
        if (std::strcmp(category, "js") == 0 || std::strncmp(category, "qt.webengine", 12) == 0)
            return;
        // The browser's start-up notices, which come without a category of their own, and the
        // platform plugin's word that it has no OpenGL, which PrepareProcess chose without a GPU.
        static const char* const notices[] = {
            "Sandboxing disabled by user", "WebEngineContext used before",
            "No suitable graphics backend", "QXcbIntegration: Cannot create platform OpenGL"};
        if (type != QtCriticalMsg && type != QtFatalMsg)
            for (const char* notice : notices)
                if (text.startsWith(QLatin1String(notice)))
                    return;
    }
    if (QtMessageHandler previous = PreviousHandler())
        previous(type, context, text);
}

// The name of a Chromium switch: "--name" of "--name=value", or the whole switch without '='.
QByteArray BrowserSwitchName(const QByteArray& option) {
    const qsizetype equals = option.indexOf('=');
    return equals < 0 ? option : option.first(equals);
}

// Adds a Chromium switch ("--name" or "--name=value") after the user's own
// QTWEBENGINE_CHROMIUM_FLAGS, unless the user gives that switch already: theirs is kept.
void AddBrowserSwitch(QByteArray& flags, const QByteArray& option) {
    const QByteArray name = BrowserSwitchName(option);
    for (const QByteArray& given : flags.simplified().split(' '))
        if (BrowserSwitchName(given) == name)
            return;
    flags = (flags.trimmed() + ' ' + option).trimmed();
}

void SetEnvironmentDefault(const char* name, const QByteArray& value) {
    if (!qEnvironmentVariableIsSet(name))
        qputenv(name, value);
}

// A render node is what a GPU driver offers to programs; without one (a virtual screen, a
// machine without graphics driver) OpenGL falls back to Mesa's software renderer, whose code
// generator (LLVM) alone costs more memory than the whole information page.
bool HasRenderNode() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error))
        if (entry.path().filename().string().starts_with("renderD"))
            return true;
    return false;
}
} // namespace

void PrepareProcess() {
#ifdef KESTREL_WEBENGINE
    LimitAllocationArenas();
#endif
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QuietBrowser() = qEnvironmentVariable("KESTREL_BROWSER_LOG") != QStringLiteral("1");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    // Chromium's own log lines (its processes write them straight to standard error): only
    // fatal ones.
    if (QuietBrowser())
        AddBrowserSwitch(flags, "--log-level=3");
    // The browser shows one small page of the maker's own server. Its usual separate processes
    // (zygote, renderer, GPU) would each load their own share of Chromium and hold about as much
    // memory again as the window itself; in one process the renderer shares what the window has
    // loaded already. The price: the page has no sandboxed process of its own, and a crash of
    // its renderer ends the window; the page comes from the maker's server.
    AddBrowserSwitch(flags, "--single-process");
    // The page's script is a few lines: V8 without its optimising compilers keeps less code and
    // metadata in memory. Lite mode cannot run WebAssembly; turned off explicitly, V8 does not
    // warn on standard error that it disabled it.
    AddBrowserSwitch(flags, "--js-flags=--lite-mode,--no-expose-wasm");
    if (!HasRenderNode()) {
        // No GPU: Chromium draws in software anyway, and so do the window's scene graph and the
        // platform plugin, which then load no OpenGL (and no Mesa) at all.
        AddBrowserSwitch(flags, "--disable-gpu");
        SetEnvironmentDefault("QT_QUICK_BACKEND", "software");
        SetEnvironmentDefault("QT_XCB_GL_INTEGRATION", "none");
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    PreviousHandler() = qInstallMessageHandler(ProgramMessages);
}

void CreateProgramWindows(const QStringList& arguments) {
    // The application title is the name the desktop shows for the program; the caption of the
    // window is separate ("VELT在线升级1.4").
    QApplication::setApplicationName(ApplicationTitle());
    Form_Main = new TForm_Main(arguments);
    HintForm = new THintForm(Form_Main);
    Form_Main->Link().SetHintForm(HintForm);
    SetMainWindow(&Form_Main->Link());
}

void DestroyProgramWindows() {
    SetMainWindow(nullptr);
    delete Form_Main; // also deletes HintForm, its child
    Form_Main = nullptr;
    HintForm = nullptr;
}

std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form) {
    return std::make_unique<TWorkflowWiring>(form, DefaultServerLink());
}
