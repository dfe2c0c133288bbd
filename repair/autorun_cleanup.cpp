// Autorun cleanup: the hosts file checked, the remembered autorun value
// deleted from three keys (from Run and RunServices only where it holds the
// remembered command), then the Run and RunServices keys swept. A
// detect-only scan reports each value found, once, where a removal deletes
// it.
#include "repair/autorun_cleanup.h"

#include <cstring>
#include <initializer_list>

#include "engine/path_text.h"
#include "engine/platform_facts.h"
#include "engine/scan_state.h"
#include "repair/autorun_sweep.h"
#include "repair/registry_helpers.h"
#include "repair/text_signature.h"

namespace {
const char run_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char run_services_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\rhcjg7j0e38v";

void check_hosts_file() {
    char hosts[MAX_PATH];
    int family = platform_family();
    UINT length;
    const char *tail;
    if (family == 5) {
        length = os::GetSystemDirectoryA(hosts, sizeof hosts);
        tail = "\\drivers\\etc\\hosts";
    } else if (family == 4) {
        length = os::GetWindowsDirectoryA(hosts, sizeof hosts);
        tail = "\\hosts";
    } else {
        return;
    }
    if (length == 0 || length >= sizeof hosts || !append_text(hosts, sizeof hosts, tail)) return;
    text_signature_scan(hosts);
}
// Whether the value of the remembered name in key is to go. In Run and
// RunServices a value of the same name may be the user's: it goes only while
// it holds the remembered command. Every value of the trojan's own uninstall
// key is the trojan's: there it goes whatever it holds.
bool remembered_value_goes(const char *key) {
    if (key == uninstall_key) return true;
    char data[sizeof scan_state.removed_value_data];
    if (!read_registry_value(HKEY_LOCAL_MACHINE, key, scan_state.removed_value_name, data, sizeof data)) return false;
    return same_text_nocase(data, scan_state.removed_value_data);
}
// Deletes the value of the remembered name from key; a detect-only scan
// takes the first sight of a value that exists for its deletion.
bool remembered_value_gone(const char *key) {
    const char *name = scan_state.removed_value_name;
    if (!scan_state.detect_only) return delete_registry_value(HKEY_LOCAL_MACHINE, key, name) != 0;
    return registry_value_exists(HKEY_LOCAL_MACHINE, key, name) && first_report_of(key, name);
}
}  // namespace

int autorun_cleanup(const char *detection_name) {
    check_hosts_file();
    if (scan_state.removed_value_name[0])
        for (const char *key : {run_key, run_services_key, uninstall_key})
            if (remembered_value_goes(key) && remembered_value_gone(key) && scan_state.report_window)
                report("System Registry     %s %s", detection_name, scan_state.detect_only ? "found" : "removed");
    if (scan_state.file_under_test[0]) {
        autorun_sweep(HKEY_LOCAL_MACHINE, run_key);
        autorun_sweep(HKEY_LOCAL_MACHINE, run_services_key);
    }
    return 1;
}
