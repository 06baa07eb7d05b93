#include "InfoBrowser.h"

#include "WideText_win32.h"

#include <commctrl.h>
#include <exdisp.h>
#include <exdispid.h>
#include <mshtml.h>
#include <ocidl.h>
#include <oleidl.h>

#include <cstdio>
#include <regex>

namespace {
const wchar_t* const ContainerClass = L"KestrelInfoPage";
constexpr UINT_PTR AnswerTimer = 1;
constexpr int IdReload = 1;
// The engine's document mode of Internet Explorer 11 (edge), which the program asks for.
constexpr DWORD BrowserEmulation = 11001;

std::string Hex(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(result));
    return text;
}

// The navigation's status code (an HTTP status or an HRESULT of the URL moniker) as the
// fallback page's reason.
TInfoFailure Classify(long status) {
    switch (static_cast<unsigned long>(status)) {
    case 404:
    case 410:
        return TInfoFailure::NotFound;
    case 0x800C0004: // INET_E_CANNOT_CONNECT
        return TInfoFailure::Refused;
    case 0x800C0005: // INET_E_RESOURCE_NOT_FOUND: the server's name is unknown
        return TInfoFailure::NameNotResolved;
    case 0x800C000B: // INET_E_CONNECTION_TIMEOUT
        return TInfoFailure::NoAnswer;
    case 0x800C000E: // INET_E_SECURITY_PROBLEM
    case 0x800C0019: // INET_E_INVALID_CERTIFICATE
        return TInfoFailure::Tls;
    default:
        return TInfoFailure::Other;
    }
}

std::string Detail(long status) {
    if (status >= 100 && status < 600)
        return "HTTP " + std::to_string(status);
    return "navigation error " + Hex(status);
}

// The local page as plain text, for a text box: the paragraphs of InfoUnavailablePage without
// its markup and without the reload link, which is a control of its own beside the text.
std::wstring PlainText(const std::string& html) {
    std::string text = std::regex_replace(html, std::regex("<head>.*</head>"), "");
    text = std::regex_replace(text, std::regex("<p><a [^>]*>[^<]*</a></p>"), "");
    text = std::regex_replace(text, std::regex("</(p|h3)>"), "\r\n\r\n");
    text = std::regex_replace(text, std::regex("<[^>]*>"), "");
    for (const auto& [entity, plain] : {std::pair{"&lt;", "<"}, std::pair{"&gt;", ">"},
                                        std::pair{"&quot;", "\""}, std::pair{"&amp;", "&"}})
        text = std::regex_replace(text, std::regex(entity), plain);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return Widen(text);
}

// The label of the local page's reload link.
std::string ReloadLabel(const std::string& html) {
    std::smatch link;
    return std::regex_search(html, link, std::regex("<a [^>]*>([^<]*)</a>")) ? link[1].str()
                                                                             : std::string();
}

// The engine shows a page hosted by a program in its oldest document mode unless the program is
// named under FEATURE_BROWSER_EMULATION: set for this executable (the current user's key).
void RequestModernDocumentMode() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::wstring name(path, length);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\"
                        L"FEATURE_BROWSER_EMULATION",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&BrowserEmulation), sizeof BrowserEmulation);
    RegCloseKey(key);
}

bool SameObject(IUnknown* a, IUnknown* b) {
    if (!a || !b)
        return false;
    IUnknown *ia = nullptr, *ib = nullptr;
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ia));
    b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ib));
    const bool same = ia && ia == ib;
    if (ia)
        ia->Release();
    if (ib)
        ib->Release();
    return same;
}
} // namespace

// The browser's whole site in one object: client site, in-place site and frame, and the sink of
// its DWebBrowserEvents2. Owned by TInfoBrowser, which outlives the control's use of it (the
// control is closed and released first), so its reference count is not kept.
class TInfoBrowser::THost final : public IOleClientSite,
                                  public IOleInPlaceSite,
                                  public IOleInPlaceFrame,
                                  public IDispatch {
public:
    explicit THost(TInfoBrowser& owner) : owner_(owner) {}
    ~THost() {
        if (point_) {
            point_->Unadvise(cookie_);
            point_->Release();
        }
        if (browser_)
            browser_->Release();
        if (object_) {
            object_->Close(OLECLOSE_NOSAVE);
            object_->SetClientSite(nullptr);
            object_->Release();
        }
    }
    THost(const THost&) = delete;
    THost& operator=(const THost&) = delete;

    // Creates and activates the control; the failed step's HRESULT otherwise.
    HRESULT Create() {
        HRESULT result = CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IOleObject, reinterpret_cast<void**>(&object_));
        if (FAILED(result))
            return result;
        object_->SetClientSite(this);
        RECT place = Place();
        result =
            object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, owner_.container_, &place);
        if (FAILED(result))
            return result;
        result = object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_));
        if (FAILED(result))
            return result;
        IConnectionPointContainer* points = nullptr;
        if (SUCCEEDED(browser_->QueryInterface(IID_IConnectionPointContainer,
                                               reinterpret_cast<void**>(&points)))) {
            if (SUCCEEDED(points->FindConnectionPoint(DIID_DWebBrowserEvents2, &point_)))
                point_->Advise(static_cast<IDispatch*>(this), &cookie_);
            points->Release();
        }
        browser_->put_Silent(VARIANT_TRUE); // no script error boxes
        return S_OK;
    }

    HRESULT Navigate(const std::string& url) {
        VARIANT none;
        VariantInit(&none);
        BSTR address = SysAllocString(Widen(url).c_str());
        const HRESULT result = browser_->Navigate(address, &none, &none, &none, &none);
        SysFreeString(address);
        return result;
    }
    void Stop() { browser_->Stop(); }
    // The control's own window, hidden while the local page takes its place (the Visible
    // property of the control does not hide an in-place control).
    void Show(bool shown) {
        IOleInPlaceObject* inPlace = nullptr;
        if (FAILED(
                object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace))))
            return;
        HWND window = nullptr;
        if (SUCCEEDED(inPlace->GetWindow(&window)) && window)
            ShowWindow(window, shown ? SW_SHOW : SW_HIDE);
        inPlace->Release();
    }
    void Resize() {
        IOleInPlaceObject* inPlace = nullptr;
        if (SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject,
                                              reinterpret_cast<void**>(&inPlace)))) {
            RECT place = Place();
            inPlace->SetObjectRects(&place, &place);
            inPlace->Release();
        }
    }
    // The document mode of the loaded page; 0 when it cannot be told.
    int DocumentMode() {
        IDispatch* document = nullptr;
        if (FAILED(browser_->get_Document(&document)) || !document)
            return 0;
        int mode = 0;
        IHTMLDocument6* document6 = nullptr;
        if (SUCCEEDED(document->QueryInterface(__uuidof(IHTMLDocument6),
                                               reinterpret_cast<void**>(&document6)))) {
            VARIANT value;
            VariantInit(&value);
            if (SUCCEEDED(document6->get_documentMode(&value)) &&
                SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
                mode = static_cast<int>(value.lVal);
            VariantClear(&value);
            document6->Release();
        }
        document->Release();
        return mode;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *out = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *out = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *out = static_cast<IOleInPlaceFrame*>(this);
        else if (riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2)
            *out = static_cast<IDispatch*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    // IOleWindow, of the site and of the frame
    STDMETHODIMP GetWindow(HWND* window) override {
        *window = owner_.container_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                  LPRECT position, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO info) override {
        *frame = this;
        *document = nullptr;
        *position = *clip = Place();
        info->fMDIApp = FALSE;
        info->hwndFrame = GetAncestor(owner_.container_, GA_ROOT);
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
    // IOleInPlaceUIWindow, IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT) override { return E_NOTIMPL; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }
    // IDispatch: DWebBrowserEvents2
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        // Arguments come last to first: NavigateError(pDisp, URL, Frame, StatusCode, Cancel),
        // DocumentComplete(pDisp, URL). Only the top-level document counts, not its frames.
        if (id == DISPID_NAVIGATEERROR && params->cArgs == 5 &&
            SameObject(params->rgvarg[4].pdispVal, browser_)) {
            const VARIANT* status = params->rgvarg[1].pvarVal;
            *params->rgvarg[0].pboolVal = VARIANT_TRUE; // our page instead of the engine's
            owner_.Failed(Classify(status->lVal), Detail(status->lVal));
        } else if (id == DISPID_DOCUMENTCOMPLETE && params->cArgs == 2 &&
                   SameObject(params->rgvarg[1].pdispVal, browser_)) {
            owner_.Loaded();
        }
        return S_OK;
    }

private:
    RECT Place() const {
        RECT place;
        GetClientRect(owner_.container_, &place);
        return place;
    }

    TInfoBrowser& owner_;
    IOleObject* object_ = nullptr;
    IWebBrowser2* browser_ = nullptr;
    IConnectionPoint* point_ = nullptr;
    DWORD cookie_ = 0;
};

TInfoBrowser::TInfoBrowser(HWND parent, int id, std::string url,
                           std::chrono::milliseconds answerLimit)
    : url_(std::move(url)), answerLimit_(answerLimit) {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = ContainerProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        windowClass.lpszClassName = ContainerClass;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
    container_ = MakeControl(parent, ContainerClass, {}, WS_VISIBLE | WS_CLIPCHILDREN, id);
    SetWindowLongPtrW(container_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    fallbackText_ = MakeControl(container_, L"EDIT", {},
                                ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 0);
    const std::string label = ReloadLabel(InfoUnavailablePage(url_, TInfoFailure::Other, {}));
    reloadLink_ = MakeControl(container_, WC_LINK, "<a>" + label + "</a>", 0, IdReload);
    if (!reloadLink_) // without common controls 6 (no SysLink): a plain button
        reloadLink_ = MakeControl(container_, L"BUTTON", label, BS_PUSHBUTTON, IdReload);
    ApplyDpi(WindowDpi(parent));
    CreateControl();
    Navigate();
}

TInfoBrowser::~TInfoBrowser() {
    KillTimer(container_, AnswerTimer);
    host_.reset();
    SetWindowLongPtrW(container_, GWLP_USERDATA, 0);
    DestroyWindow(container_);
    DeleteObject(font_);
}

void TInfoBrowser::CreateControl() {
    RequestModernDocumentMode();
    auto host = std::make_unique<THost>(*this);
    const HRESULT result = host->Create();
    if (FAILED(result)) {
        error_ = "the browser control cannot be created (" + Hex(result) + ")";
        return;
    }
    host_ = std::move(host);
}

void TInfoBrowser::Navigate() {
    if (!host_) {
        Failed(TInfoFailure::Other, error_.empty() ? "no browser control" : error_);
        return;
    }
    error_.clear();
    loading_ = true;
    ShowWindow(fallbackText_, SW_HIDE);
    ShowWindow(reloadLink_, SW_HIDE);
    host_->Show(true);
    SetTimer(container_, AnswerTimer, static_cast<UINT>(answerLimit_.count()), nullptr);
    const HRESULT result = host_->Navigate(url_);
    if (FAILED(result) && loading_)
        Failed(TInfoFailure::Other, "navigation cannot start (" + Hex(result) + ")");
}

void TInfoBrowser::Reload() {
    if (!host_)
        CreateControl(); // the control may be there now (it may have failed for a while)
    Navigate();
}

void TInfoBrowser::Loaded() {
    if (!loading_)
        return;
    loading_ = false;
    KillTimer(container_, AnswerTimer);
    ReportDocumentMode();
}

void TInfoBrowser::ReportDocumentMode() {
    const int mode = host_ ? host_->DocumentMode() : 0;
    if (mode > 0 && mode < 11)
        EchoToTerminal("information page " + url_ +
                       " is shown in the browser's old document mode " + std::to_string(mode) +
                       " (the program asked for 11 with FEATURE_BROWSER_EMULATION)");
}

void TInfoBrowser::Failed(TInfoFailure failure, const std::string& detail) {
    loading_ = false;
    KillTimer(container_, AnswerTimer);
    error_ = detail;
    EchoToTerminal("information page " + url_ + " cannot be loaded: " + detail);
    if (host_) {
        host_->Stop();
        host_->Show(false);
    }
    SetWindowTextW(fallbackText_, PlainText(InfoUnavailablePage(url_, failure, detail)).c_str());
    Layout();
    ShowScrollBarAsNeeded(fallbackText_);
    ShowWindow(fallbackText_, SW_SHOW);
    ShowWindow(reloadLink_, SW_SHOW);
}

void TInfoBrowser::ApplyDpi(UINT dpi) {
    HFONT old = font_;
    font_ = MakeChineseFont(12, false, dpi);
    for (HWND control : {fallbackText_, reloadLink_})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    if (old)
        DeleteObject(old);
    Layout();
}

void TInfoBrowser::Layout() {
    RECT all;
    GetClientRect(container_, &all);
    const UINT dpi = WindowDpi(container_);
    const int linkHeight = Scaled(20, dpi), margin = Scaled(6, dpi);
    SetWindowPos(fallbackText_, nullptr, margin, margin, all.right - 2 * margin,
                 all.bottom - linkHeight - 3 * margin, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(reloadLink_, nullptr, margin, all.bottom - linkHeight - margin, Scaled(100, dpi),
                 linkHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    if (host_)
        host_->Resize();
}

LRESULT CALLBACK TInfoBrowser::ContainerProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    auto* browser = reinterpret_cast<TInfoBrowser*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (browser) {
        switch (message) {
        case WM_SIZE:
            browser->Layout();
            return 0;
        case WM_TIMER:
            if (wParam == AnswerTimer && browser->loading_) {
                browser->Failed(TInfoFailure::NoAnswer,
                                "no answer within " +
                                    std::to_string(browser->answerLimit_.count() / 1000) + " s");
            }
            return 0;
        case WM_NOTIFY: {
            const auto* note = reinterpret_cast<const NMHDR*>(lParam);
            if (note->idFrom == IdReload && (note->code == NM_CLICK || note->code == NM_RETURN))
                browser->Reload();
            return 0;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IdReload && HIWORD(wParam) == BN_CLICKED)
                browser->Reload();
            return 0;
        case WM_CTLCOLORSTATIC: // the read-only text on white, as a page
            SetBkColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
