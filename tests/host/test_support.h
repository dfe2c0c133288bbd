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
