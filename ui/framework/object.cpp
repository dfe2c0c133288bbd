// Run-time class information and message-map lookup.
#include "ui/framework/object.h"

const CRuntimeClass CObject::classCObject = {"CObject", nullptr};

const CRuntimeClass *CObject::GetRuntimeClass() const { return &classCObject; }

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass *base) const {
    for (const CRuntimeClass *c = this; c; c = c->m_pBaseClass)
        if (c == base) return true;
    return false;
}

const AFX_MSGMAP *CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY *CCmdTarget::FindEntry(UINT message, UINT code, UINT id) const {
    for (const AFX_MSGMAP *map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr)
        for (const AFX_MSGMAP_ENTRY *e = map->lpEntries; e->nSig != AfxSig_end; ++e)
            if (e->nMessage == message && (message != WM_COMMAND || (e->nCode == code && e->nID == id)))
                return e;
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT id, UINT code) {
    const AFX_MSGMAP_ENTRY *e = FindEntry(WM_COMMAND, code, id);
    if (!e || e->nSig != AfxSig_vv) return FALSE;
    (this->*(e->pfn))();
    return TRUE;
}
