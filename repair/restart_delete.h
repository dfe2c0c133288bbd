// Deleting a file at the next restart: the platform's delayed move on the NT
// family, an entry in the [rename] section of wininit.ini on the 9x family.
#pragma once

// 1 when the deletion is scheduled, 0 when it is not.
int schedule_delete_at_restart(const char *path);

// Puts "key=value" CR LF into the [rename] section of the Windows folder's
// wininit.ini; true when it stands there. On failure the file holds exactly
// what it held before.
bool write_rename_entry(const char *key, const char *value);
