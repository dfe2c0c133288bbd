// The performance-data walk on arbitrary blocks.
#include "fuzz/fuzz_support.h"
#include "memory/process_kill.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fresh_machine();
    sim::Machine &m = sim::machine();
    m.set_version(VER_PLATFORM_WIN32_NT, 4, 0);
    m.install_perflib();
    m.add_process(12, "C:\\DIR\\TARGET.EXE");
    m.perf_block_given = true;
    m.perf_block_supplied.assign((const char *)data, size);
    int result = kill_by_name_perfdata("C:\\DIR\\TARGET.EXE");
    require(result == 0 || !m.terminated.empty());
    for (DWORD pid : m.terminated) require(pid == 12);  // never a process that is not the target
    require_all_closed();
    return 0;
}
