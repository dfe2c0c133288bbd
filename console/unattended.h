// What pellscan.exe answers when the engine asks a question, with no one to
// answer it, and the log line that says so.
#pragma once
#include <string>

#include "platform/os.h"

// The answer that changes nothing, except to "Terminate the Scan now?",
// which only a stop request raises and which is answered Yes: No to a
// yes/no question, Cancel to OK/Cancel, OK to a notice.
int unattended_answer(const char *text, UINT style);

// "Question answered No (unattended): <text>", the text on one line (each
// run of blanks and line breaks one blank).
std::string question_line(const char *text, int answer);

// Where the console program's ConfirmBox writes its line (the run's log).
extern void (*unattended_note)(const char *line);
