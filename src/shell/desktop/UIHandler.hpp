// The host object the browser consults about the engine's own user interface:
// context menu, host flags, keys, addresses, the page's external object. Kept
// free of toolkit headers so its answers can be checked on their own.
#pragma once

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

}  // namespace vantrel::desktop
