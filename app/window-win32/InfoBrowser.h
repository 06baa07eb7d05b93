#pragma once
// The device information page in the system's browser control (IWebBrowser2, hosted in a small
// OLE in-place container), placed at WebBrowser's place. A page that cannot be loaded, or has not
// loaded within the answer limit, or a control that cannot be created, gives way to the page's
// local replacement (InfoUnavailablePage) shown as plain text with a "重新加载" link that loads
// the page again; the failure is echoed on standard error.
#include "TimeLimits.h"
#include "Win32Window.h"
#include "WindowTexts.h"

#include <chrono>
#include <memory>
#include <string>

class TInfoBrowser {
public:
    // Creates the container as a child of `parent` and starts loading `url`. Call on a thread
    // that has initialised OLE (OleInitialize); without it the control cannot be created.
    TInfoBrowser(HWND parent, int id, std::string url,
                 std::chrono::milliseconds answerLimit = WindowLimits::InfoPageAnswer);
    ~TInfoBrowser();
    TInfoBrowser(const TInfoBrowser&) = delete;
    TInfoBrowser& operator=(const TInfoBrowser&) = delete;

    HWND Handle() const { return container_; }
    const std::string& Url() const { return url_; }
    // Why the page could not be loaded (the English detail); empty while it loads or once it has
    // loaded.
    const std::string& LoadError() const { return error_; }
    // The local replacement: its text box and its reload link (both hidden while the page
    // itself is shown).
    HWND FallbackText() const { return fallbackText_; }
    HWND ReloadLink() const { return reloadLink_; }
    // Loads the page again (the reload link).
    void Reload();
    // The fallback's font and places for the window's dpi (the container is placed by its
    // parent).
    void ApplyDpi(UINT dpi);

private:
    class THost;
    friend class THost;
    static LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControl();
    void Navigate();
    void Loaded();
    void Failed(TInfoFailure failure, const std::string& detail);
    void Layout();
    void ReportDocumentMode();

    HWND container_ = nullptr;
    HWND fallbackText_ = nullptr;
    HWND reloadLink_ = nullptr;
    HFONT font_ = nullptr;
    std::string url_;
    std::chrono::milliseconds answerLimit_;
    std::string error_;
    bool loading_ = false;
    std::unique_ptr<THost> host_; // the control and its site; none when it cannot be created
};
