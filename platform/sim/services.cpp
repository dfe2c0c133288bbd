// Simulated services and the service control manager calls over them.

#include <cctype>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {

Service *Machine::service(const std::string &name) {
    for (Service &s : services)
        if (iequals(s.name, name)) return &s;
    return nullptr;
}

}  // namespace sim

using sim::machine;

namespace os {

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    sim::Machine &m = sim::called("OpenSCManagerA");
    if (m.scm_open_fails || m.should_fail("OpenSCManagerA")) return nullptr;
    SC_HANDLE h = (SC_HANDLE)(m.next_handle += 4);
    m.service_handles[h] = "";
    ++m.open_service_handles;
    return h;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD) {
    sim::Machine &m = sim::called("OpenServiceA");
    auto it = m.service_handles.find(manager);
    if (it == m.service_handles.end() || !it->second.empty() || !m.service(name ? name : "") ||
        m.should_fail("OpenServiceA"))
        return nullptr;
    SC_HANDLE h = (SC_HANDLE)(m.next_handle += 4);
    m.service_handles[h] = name;
    ++m.open_service_handles;
    return h;
}

static void service_state(sim::Service *s, DWORD state) {
    s->state = state;
    if (state != SERVICE_STOPPED || !s->process_id) return;
    auto next = machine().id_successors.find(s->process_id);
    machine().end_process(s->process_id, next != machine().id_successors.end() ? next->second : std::string());
}

static sim::Service *service_of(SC_HANDLE h) {
    sim::Machine &m = machine();
    auto it = m.service_handles.find(h);
    return it == m.service_handles.end() || it->second.empty() ? nullptr : m.service(it->second);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    sim::Machine &m = sim::called("ControlService");
    sim::Service *s = service_of(service);
    if (!s || control != SERVICE_CONTROL_STOP || s->refuses_stop || s->state == SERVICE_STOPPED ||
        m.should_fail("ControlService"))
        return FALSE;
    service_state(s, s->pending_polls == 0 ? SERVICE_STOPPED : SERVICE_STOP_PENDING);
    std::memset(status, 0, sizeof *status);
    status->dwCurrentState = s->state;
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    sim::Machine &m = sim::called("QueryServiceStatus");
    sim::Service *s = service_of(service);
    if (!s || m.should_fail("QueryServiceStatus")) return FALSE;
    if (s->state == SERVICE_STOP_PENDING && s->pending_polls > 0 && --s->pending_polls == 0) {
        status->dwCurrentState = SERVICE_STOP_PENDING;  // this query still says pending
        service_state(s, SERVICE_STOPPED);
        return TRUE;
    }
    status->dwCurrentState = s->state;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    sim::Machine &m = sim::called("CloseServiceHandle");
    if (!m.service_handles.erase(handle)) return FALSE;
    --m.open_service_handles;
    return TRUE;
}

}  // namespace os
