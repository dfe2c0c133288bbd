// A demonstration scan on the host: the engine runs over a small simulated
// machine and prints the results list and the last status, as the window
// would show them. Nothing on this machine is touched.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/scan_driver.h"
#include "engine/scan_state.h"
#include "platform/sim/machine.h"

int main() {
    sim::Machine &m = sim::machine();
    m.add_drive('C', DRIVE_FIXED);
    m.add_file("C:\\AUTOEXEC.BAT", "@echo off\r\n");
    m.add_file("C:\\Windows\\notepad.exe", std::string(4096, 'n'));
    m.add_file("C:\\Windows\\System\\kernel32.dll", std::string(8192, 'k'), FILE_ATTRIBUTE_SYSTEM);
    m.add_file("C:\\Program Files\\Tools\\tool.exe", std::string(2048, 't'));
    m.add_drive('D', DRIVE_CDROM);
    m.add_file("D:\\SETUP.EXE", "cd");
    m.add_file("E:\\Data\\report.doc", std::string(100, 'd'));

    std::string status;
    scan_state.report_window = m.create_window([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == report_line_message) std::printf("%s\n", scan_state.report_line);
        if (msg == report_status_message) status = scan_state.status_text;
        return 0;
    });
    std::strcpy(scan_state.scan_target, "!:");
    scan_state.disposition_choice = 100;
    scan_state.scan_running = 1;
    scan_driver();
    scan_state.scan_running = 0;
    std::printf("[status] %s\n", status.c_str());
    return 0;
}
