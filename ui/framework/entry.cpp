// The process entry of a program built on the framework.
#include "ui/framework/app.h"

// The runtime's entry has already skipped the program's name and the blanks
// after it, and taken the show command from the start-up information.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    return AfxWinMain(instance, previous, command_line, show);
}
