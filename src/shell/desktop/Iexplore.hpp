// The browser as the shell uses it: TCppWebBrowser wraps a WebKitWebView, and
// THTMLBrowserUIHandler is the host object the wrapper consults about the
// engine's own user interface (context menu, host flags, addresses, the page's
// external object).
#pragma once

#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace vantrel::desktop {

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

struct GUID {
    std::uint32_t data1;
    std::uint16_t data2, data3;
    std::uint8_t data4[8];
    bool operator==(const GUID&) const = default;
};

extern const GUID IID_IUnknown;          // 00000000-0000-0000-C000-000000000046
extern const GUID IID_IDocHostUIHandler;  // BD3F23C0-D43E-11CF-893B-00AA00BDCE1A
extern const GUID IID_ICustomDoc;         // 3050F3F0-98B5-11CF-BB82-00AA00BDCE0B

// Host flags.
constexpr std::uint32_t DOCHOSTUIFLAG_NO3DBORDER = 0x4;
constexpr std::uint32_t DOCHOSTUIFLAG_FLAT_SCROLLBAR = 0x80;
constexpr std::uint32_t DOCHOSTUIFLAG_NO3DOUTERBORDER = 0x200000;

struct DOCHOSTUIINFO {
    std::uint32_t cbSize = 0;
    std::uint32_t dwFlags = 0;
    std::uint32_t dwDoubleClick = 0;
};

struct POINT {
    int x = 0, y = 0;
};

// The questions the browser asks its host, in interface slot order.
class IDocHostUIHandler {
public:
    virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
    virtual std::int32_t AddRef() = 0;
    virtual std::int32_t Release() = 0;
    virtual HRESULT ShowContextMenu(std::uint32_t id, const POINT* where, void* target, void* reserved) = 0;
    virtual HRESULT GetHostInfo(DOCHOSTUIINFO* info) = 0;
    virtual HRESULT ShowUI(std::uint32_t id, void* active, void* target, void* frame, void* doc) = 0;
    virtual HRESULT HideUI() = 0;
    virtual HRESULT UpdateUI() = 0;
    virtual HRESULT EnableModeless(bool enable) = 0;
    virtual HRESULT OnDocWindowActivate(bool activate) = 0;
    virtual HRESULT OnFrameWindowActivate(bool activate) = 0;
    virtual HRESULT ResizeBorder(const void* border, void* window, bool frame) = 0;
    virtual HRESULT TranslateAccelerator(const void* message, const GUID* group, std::uint32_t id) = 0;
    virtual HRESULT GetOptionKeyPath(std::string* key, std::uint32_t reserved) = 0;
    virtual HRESULT GetDropTarget(void* drop_target, void** replacement) = 0;
    virtual HRESULT GetExternal(void** dispatch) = 0;
    virtual HRESULT TranslateUrl(std::uint32_t translate, const std::string& url, std::string* translated) = 0;
    virtual HRESULT FilterDataObject(void* object, void** replacement) = 0;

protected:
    ~IDocHostUIHandler() = default;
};

// The one process-wide handler: no context menu, no engine UI, addresses and
// data objects unchanged, no external object for page scripts.
class THTMLBrowserUIHandler final : public IDocHostUIHandler {
public:
    static THTMLBrowserUIHandler& Instance();

    HRESULT QueryInterface(const GUID& iid, void** object) override;
    std::int32_t AddRef() override;
    std::int32_t Release() override;  // never destroys the object
    HRESULT ShowContextMenu(std::uint32_t, const POINT*, void*, void*) override { return S_OK; }
    HRESULT GetHostInfo(DOCHOSTUIINFO* info) override;
    HRESULT ShowUI(std::uint32_t, void*, void*, void*, void*) override { return S_OK; }
    HRESULT HideUI() override { return S_OK; }
    HRESULT UpdateUI() override { return S_FALSE; }
    HRESULT EnableModeless(bool) override { return S_OK; }
    HRESULT OnDocWindowActivate(bool) override { return S_FALSE; }
    HRESULT OnFrameWindowActivate(bool) override { return S_FALSE; }
    HRESULT ResizeBorder(const void*, void*, bool) override { return S_FALSE; }
    HRESULT TranslateAccelerator(const void*, const GUID*, std::uint32_t) override { return S_FALSE; }
    HRESULT GetOptionKeyPath(std::string*, std::uint32_t) override { return S_FALSE; }
    HRESULT GetDropTarget(void*, void**) override { return S_FALSE; }
    HRESULT GetExternal(void** dispatch) override;
    HRESULT TranslateUrl(std::uint32_t, const std::string&, std::string*) override { return S_FALSE; }
    HRESULT FilterDataObject(void*, void**) override { return S_FALSE; }

private:
    THTMLBrowserUIHandler() = default;
    std::atomic<std::int32_t> refs_{1};
};

// The document's customisation point.
class ICustomDoc {
public:
    virtual HRESULT SetUIHandler(IDocHostUIHandler* handler) = 0;

protected:
    ~ICustomDoc() = default;
};

class TCppWebBrowser;

// The document the browser currently shows.
class THTMLDocument final : public ICustomDoc {
public:
    explicit THTMLDocument(TCppWebBrowser& browser) : browser_(browser) {}
    // Hands out ICustomDoc for IID_ICustomDoc; E_NOINTERFACE otherwise.
    HRESULT QueryInterface(const GUID& iid, void** object);
    HRESULT SetUIHandler(IDocHostUIHandler* handler) override;
    // Ends the document's current stream: a load still in progress stops.
    void close();
    // The text becomes the document's content.
    void write(const std::string& html);

private:
    TCppWebBrowser& browser_;
};

class TCppWebBrowser {
public:
    TCppWebBrowser();
    ~TCppWebBrowser();
    TCppWebBrowser(const TCppWebBrowser&) = delete;
    TCppWebBrowser& operator=(const TCppWebBrowser&) = delete;

    GtkWidget* Widget() const { return GTK_WIDGET(view_); }
    WebKitWebView* View() const { return view_; }

    // Starts loading the address the text names (see NavigationUri).
    void Navigate(const std::string& url);
    // Level 3 (REFRESH_COMPLETELY) reloads without cached copies; lower levels reload.
    void Refresh2(int level);
    // OLECMDID_PRINT (6) runs the engine's print dialog; other commands do nothing.
    void ExecWB(int command, int option);
    // True from a navigation's start until it has finished or failed.
    bool Busy() const { return busy_; }
    // The current document, or nullptr before a first load has produced one.
    THTMLDocument* Document() { return has_document_ ? &document_ : nullptr; }

    // The address that relative links of written pages resolve against.
    void SetWriteBaseUri(const std::string& uri) { write_base_uri_ = uri; }

    static constexpr int REFRESH_COMPLETELY = 3;
    static constexpr int OLECMDID_PRINT = 6;

private:
    friend class THTMLDocument;

    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, TCppWebBrowser* self);
    static gboolean viewLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, TCppWebBrowser* self);
    static gboolean viewContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                                    TCppWebBrowser* self);
    static GtkWidget* viewCreate(WebKitWebView*, WebKitNavigationAction* action, TCppWebBrowser* self);
    static gboolean viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, TCppWebBrowser* self);

    WebKitWebView* view_ = nullptr;  // owned through the widget tree once packed
    THTMLDocument document_{*this};
    IDocHostUIHandler* ui_handler_ = nullptr;  // borrowed; lives for the process
    bool has_document_ = false;
    bool busy_ = false;
    std::string write_base_uri_;
};

// Downloads from any view of the process ask where to save through a file
// chooser parented to `parent`.
void InstallDownloadHandler(GtkWindow* parent);

}  // namespace vantrel::desktop
