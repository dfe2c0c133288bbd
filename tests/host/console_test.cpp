// The console program's switches and its exit-code decision (pure functions,
// tested here without Windows).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/arguments.h"
#include "console/exit_codes.h"

namespace {

parse_result parse(std::vector<const char *> args, console_options *options, std::string *error = nullptr) {
    args.insert(args.begin(), "pellscan");
    std::string ignored;
    return parse_arguments((int)args.size(), args.data(), options, error ? error : &ignored);
}

TEST(ConsoleArguments, SwitchesInAnyCaseWithSlashOrDash) {
    console_options o;
    ASSERT_EQ(parse({}, &o), parse_run);
    EXPECT_FALSE(o.detect_only);
    EXPECT_FALSE(o.restart);
    EXPECT_FALSE(o.log_given);

    ASSERT_EQ(parse({"/REPORT", "-Restart", "/Log:\\\\server\\share\\logs\\pc 1.log"}, &o), parse_run);
    EXPECT_TRUE(o.detect_only);
    EXPECT_TRUE(o.restart);
    EXPECT_TRUE(o.log_given);
    EXPECT_EQ(o.log_path, "\\\\server\\share\\logs\\pc 1.log");

    // The file name keeps its case and any further colon.
    ASSERT_EQ(parse({"-LOG:C:\\Logs\\Scan.LOG"}, &o), parse_run);
    EXPECT_EQ(o.log_path, "C:\\Logs\\Scan.LOG");

    // A folder (ending in a backslash or slash) holds one log per computer.
    EXPECT_EQ(log_file_for("\\\\srv\\logs\\", "PC042"), "\\\\srv\\logs\\PC042.log");
    EXPECT_EQ(log_file_for("C:/logs/", "PC042"), "C:/logs/PC042.log");
    EXPECT_EQ(log_file_for("C:\\logs\\a.log", "PC042"), "C:\\logs\\a.log");
}

TEST(ConsoleArguments, HelpWinsAndEverythingElseWrongIsAnError) {
    console_options o;
    for (const char *help : {"/?", "-?", "/h", "-H", "/help", "/HELP"}) {
        EXPECT_EQ(parse({help}, &o), parse_help) << help;
        EXPECT_EQ(parse({"/bogus", help}, &o), parse_help) << help;
    }
    std::string error;
    for (std::vector<const char *> bad : std::vector<std::vector<const char *>>{
             {"/bogus"}, {"report"}, {"C:\\"}, {"/"}, {"-"}, {"/log"}, {"/log:"}, {"/LOG:"}, {"/reports"},
             {"/rep"}, {"/report", "/REPORT"}, {"/restart", "-restart"}, {"/log:a", "/log:b"}, {"/h?"},
             {"//report"}}) {
        error.clear();
        EXPECT_EQ(parse(bad, &o, &error), parse_error) << bad[0];
        EXPECT_FALSE(error.empty()) << bad[0];
    }
}

TEST(ConsoleArguments, UsageNamesEverySwitchAndExitCode) {
    std::string usage = usage_text;
    for (const char *word : {"/REPORT", "/LOG:file", "/RESTART", "/?"}) EXPECT_NE(usage.find(word), std::string::npos);
    for (int code = exit_clean; code <= exit_cannot_run; ++code)
        EXPECT_NE(usage.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
}

TEST(ConsoleExitCode, EachOutcomeAndTheirPrecedence) {
    run_outcome clean{};
    EXPECT_EQ(exit_code_for(clean), 0);

    run_outcome removed{};
    removed.infected = 3;
    EXPECT_EQ(exit_code_for(removed), 1);

    run_outcome at_restart = removed;
    at_restart.restart_needed = true;
    EXPECT_EQ(exit_code_for(at_restart), 2);

    // Something left wins over a restart that finishes the rest.
    run_outcome left = at_restart;
    left.left = 1;
    EXPECT_EQ(exit_code_for(left), 3);
    run_outcome hosts = at_restart;
    hosts.remove_failed = true;
    EXPECT_EQ(exit_code_for(hosts), 3);
    // An infected process left running, its file never reached: no file
    // counted, and still not clean.
    run_outcome running = clean;
    running.left_running = 1;
    EXPECT_EQ(exit_code_for(running), 3);

    run_outcome detected = left;
    detected.detect_only = true;
    EXPECT_EQ(exit_code_for(detected), 4);
    run_outcome detected_nothing = clean;
    detected_nothing.detect_only = true;
    EXPECT_EQ(exit_code_for(detected_nothing), 0);

    // A stop wins over everything, also over a clean part of the scan.
    for (run_outcome o : {clean, removed, at_restart, left, detected}) {
        o.stopped = true;
        EXPECT_EQ(exit_code_for(o), 5);
    }
}

}  // namespace
