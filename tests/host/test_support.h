// Shared fixture of the host tests: a fresh simulated machine and scan state
// for every test, and a report window that records what the engine sends.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/directory_walker.h"
#include "engine/scan_state.h"
#include "platform/sim/machine.h"

// Records every appended line and every status text, and can run an action
// whenever a given status text is shown (to press keys mid-walk).
struct ReportWindow {
    HWND hwnd = nullptr;
    std::vector<std::string> lines;
    std::vector<std::string> statuses;
    std::function<void(const std::string &)> on_status;

    void attach() {
        hwnd = sim::machine().create_window([this](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
            if (msg == report_line_message) lines.push_back(scan_state.report_line);
            if (msg == report_status_message) {
                statuses.push_back(scan_state.status_text);
                if (on_status) on_status(scan_state.status_text);
            }
            return 0;
        });
        scan_state.report_window = hwnd;
    }
};

// Everything of the simulated machine that a scan may change, as text: the
// files with their bytes and attributes, the registry, the processes, the
// services and the deletions scheduled for the restart.
inline std::string machine_snapshot() {
    sim::Machine &m = sim::machine();
    std::string s;
    for (const std::string &path : m.all_files()) {
        sim::Node *n = m.find(path);
        s += "file " + path + " " + std::to_string(n->attributes) + " " + n->data + "\n";
    }
    std::function<void(const sim::RegKey &, const std::string &)> key = [&](const sim::RegKey &k,
                                                                          const std::string &at) {
        s += "key " + at + "\n";
        for (const sim::RegValue &v : k.values) s += "value " + at + " " + v.name + " " + std::to_string(v.type) + " " + v.data + "\n";
        for (const auto &sub : k.subkeys) key(*sub, at + "\\" + sub->name);
    };
    for (int i = 0; i < 5; ++i)
        if (m.reg_roots[i]) key(*m.reg_roots[i], std::to_string(i));
    for (const sim::Process &p : m.processes)
        s += "process " + std::to_string(p.pid) + " " + p.image + (p.running ? " running" : " ended") + "\n";
    for (const sim::Service &v : m.services) s += "service " + v.name + " " + std::to_string(v.state) + "\n";
    for (const std::string &p : m.pending_deletes) s += "pending " + p + "\n";
    return s;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        std::memset(&scan_state, 0, sizeof scan_state);
        message_pump_reset();
        window.attach();
    }
    void TearDown() override {
        sim::Machine &m = sim::machine();
        EXPECT_EQ(0, m.open_find_handles) << "find handles left open";
        EXPECT_EQ(0, m.open_fds_count) << "files left open";
        EXPECT_EQ(0, m.open_keys) << "registry keys left open";
    }
    sim::Machine &m() { return sim::machine(); }
    ReportWindow window;
};
