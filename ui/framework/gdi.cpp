// Drawing objects.
#include "ui/framework/gdi.h"

#include <map>
#include <memory>

namespace {
std::map<HDC, std::unique_ptr<CDC>> &temporary_dcs() {
    static std::map<HDC, std::unique_ptr<CDC>> map;
    return map;
}
}  // namespace

BOOL CGdiObject::Attach(HGDIOBJ object) {
    DeleteObject();
    m_hObject = object;
    return object != nullptr;
}

HGDIOBJ CGdiObject::Detach() {
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject() {
    if (!m_hObject) return FALSE;
    BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}

CDC::~CDC() {
    if (m_owned) DeleteDC();
}

BOOL CDC::DeleteDC() {
    if (!m_hDC) return FALSE;
    BOOL ok = ::DeleteDC(m_hDC);
    m_hDC = nullptr;
    m_owned = false;
    return ok;
}

CDC *CDC::FromHandle(HDC hdc) {
    if (!hdc) return nullptr;
    auto &temps = temporary_dcs();
    auto it = temps.find(hdc);
    if (it != temps.end()) return it->second.get();
    CDC *dc = new CDC();
    dc->m_hDC = hdc;
    temps[hdc].reset(dc);
    return dc;
}

void CDC::DeleteTemporaries() { temporary_dcs().clear(); }
