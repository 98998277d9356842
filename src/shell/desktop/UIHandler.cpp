#include "UIHandler.hpp"

namespace vantrel::desktop {

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_IDocHostUIHandler = {0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};
const GUID IID_ICustomDoc = {0x3050F3F0, 0x98B5, 0x11CF, {0xBB, 0x82, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x0B}};

/* THTMLBrowserUIHandler */

THTMLBrowserUIHandler& THTMLBrowserUIHandler::Instance() {
    static THTMLBrowserUIHandler handler;
    return handler;
}

HRESULT THTMLBrowserUIHandler::QueryInterface(const GUID& iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IDocHostUIHandler) {
        *object = static_cast<IDocHostUIHandler*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

std::int32_t THTMLBrowserUIHandler::AddRef() { return ++refs_; }

std::int32_t THTMLBrowserUIHandler::Release() { return --refs_; }

HRESULT THTMLBrowserUIHandler::GetHostInfo(DOCHOSTUIINFO* info) {
    info->cbSize = 20;
    info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_FLAT_SCROLLBAR | DOCHOSTUIFLAG_NO3DOUTERBORDER;
    info->dwDoubleClick = 0;
    return S_OK;
}

HRESULT THTMLBrowserUIHandler::GetExternal(void** dispatch) {
    *dispatch = nullptr;
    return S_OK;
}

}  // namespace vantrel::desktop
