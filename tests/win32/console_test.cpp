// The console program's log writer (append, CRLF, line by line, shared for
// reading only, a file that cannot be opened) and its unattended answers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "console/run_log.h"
#include "console/unattended.h"

namespace {

std::string folder() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string path = std::string(temp) + "pellscan-log-test\\";
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

std::string read_all(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<cannot read>";
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n) text.append(buffer, n);
    CloseHandle(h);
    return text;
}

void write_all(const std::string &path, const std::string &text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(h, text.data(), (DWORD)text.size(), &n, nullptr);
    CloseHandle(h);
}

TEST(ConsoleLog, AppendsCrlfLinesEachOnDiskAtOnceAndReadableMeanwhile) {
    std::string path = folder() + "append.log";
    write_all(path, "earlier run\r\n");
    run_log log;
    DWORD error = 0;
    ASSERT_TRUE(log.open(path.c_str(), &error)) << error;
    log.line("first\tline");
    // On disk before the next line, and readable by others meanwhile.
    EXPECT_EQ(read_all(path), "earlier run\r\nfirst\tline\r\n");
    log.line("");
    // Nobody else writes while the run has the file.
    run_log second;
    EXPECT_FALSE(second.open(path.c_str(), &error));
    EXPECT_EQ(error, (DWORD)ERROR_SHARING_VIOLATION);
    log.close();

    ASSERT_TRUE(log.open(path.c_str(), &error)) << error;
    log.line("next run");
    log.close();
    EXPECT_EQ(read_all(path), "earlier run\r\nfirst\tline\r\n\r\nnext run\r\n");
    EXPECT_EQ(log.write_error(), 0u);
    DeleteFileA(path.c_str());
}

TEST(ConsoleLog, ALogThatCannotBeOpenedSaysWhy) {
    run_log log;
    DWORD error = 0;
    std::string missing = folder() + "no such folder\\pellscan.log";
    EXPECT_FALSE(log.open(missing.c_str(), &error));
    EXPECT_EQ(error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(log.is_open());

    char text[400];
    describe_error(ERROR_PATH_NOT_FOUND, text, sizeof text);
    EXPECT_NE(std::string(text).find("(error 3)"), std::string::npos) << text;
    EXPECT_EQ(std::string(text).find('\n'), std::string::npos) << text;
}

TEST(ConsoleQuestions, AnsweredWithoutAnyoneAndLogged) {
    std::string noted;
    static std::string *sink;
    sink = &noted;
    unattended_note = [](const char *line) { *sink += std::string(line) + "|"; };
    EXPECT_EQ(ConfirmBox("The system has to be restarted to remove the virus completely from your system. \n\n Restart now?",
                         "Pellmark Ver 1.0", MB_YESNO | MB_ICONQUESTION),
              IDNO);
    EXPECT_EQ(ConfirmBox("Terminate the Scan now?", "Pellmark Ver 1.0", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(ConfirmBox("W32/Quelby.Trojan  found in memory! ...\n\nRestart the computer now?", "Pellmark Ver 1.0",
                         MB_OKCANCEL | MB_ICONINFORMATION),
              IDCANCEL);
    unattended_note = nullptr;
    EXPECT_EQ(noted,
              "Question answered No (unattended): The system has to be restarted to remove the virus completely from "
              "your system. Restart now?|"
              "Question answered Yes (unattended): Terminate the Scan now?|"
              "Question answered Cancel (unattended): W32/Quelby.Trojan found in memory! ... Restart the computer now?|");
}

}  // namespace
