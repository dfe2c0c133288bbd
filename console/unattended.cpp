// The console program's ConfirmBox: it never shows anything; each question
// gets the answer of unattended_answer and a line in the log.
#include "console/unattended.h"

#include <cstring>

void (*unattended_note)(const char *line);

int unattended_answer(const char *text, UINT style) {
    switch (style & 0x0F) {  // MB_TYPEMASK
    case MB_YESNO:
    case MB_YESNOCANCEL:
        return std::strcmp(text, "Terminate the Scan now?") == 0 ? IDYES : IDNO;
    case MB_OKCANCEL:
    case MB_RETRYCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

std::string question_line(const char *text, int answer) {
    const char *name = answer == IDYES ? "Yes" : answer == IDNO ? "No" : answer == IDCANCEL ? "Cancel" : "OK";
    std::string line = std::string("Question answered ") + name + " (unattended): ";
    bool blank = false;
    for (const char *c = text; *c; ++c) {
        if (*c == ' ' || *c == '\t' || *c == '\r' || *c == '\n') {
            blank = true;
            continue;
        }
        if (blank && line.back() != ' ') line += ' ';
        blank = false;
        line += *c;
    }
    return line;
}

int ConfirmBox(const char *text, const char *, UINT style) {
    int answer = unattended_answer(text, style);
    if (unattended_note) unattended_note(question_line(text, answer).c_str());
    return answer;
}
