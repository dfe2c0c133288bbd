// The restart that /restart asks for: never forced, so that a logged-on
// user's programs are asked to close and may keep unsaved work.
#pragma once
#include <windows.h>

// Seconds between the request and the restart on the NT family, during
// which Windows shows restart_notice; the run's last log lines are written
// in that time.
enum { restart_delay_seconds = 30 };
extern const char restart_notice[];

// Asks Windows to restart. NT family: enables SeShutdownPrivilege, then
// InitiateSystemShutdownA (looked up at run time) on the local machine
// with the delay and the notice, bForceAppsClosed FALSE, reboot TRUE. 9x
// family: ExitWindowsEx(EWX_REBOOT, 0), without EWX_FORCE. Returns true
// when the restart began; otherwise *error holds the reason.
bool request_restart(bool nt_family, DWORD *error);
