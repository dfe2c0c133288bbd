// The registry helpers the repair code shares. Each returns 1 only when
// every registry call it makes succeeds, else 0.
#pragma once
#include "platform/os.h"

// Deletes one value by name (no data is compared).
int delete_registry_value(HKEY root, const char *sub_key, const char *value_name);

// Reads one value's data as text into buffer (capacity bytes, always
// terminated). A value whose data does not fit is refused: 0, buffer empty.
int read_registry_value(HKEY root, const char *sub_key, const char *value_name, char *buffer,
                        DWORD capacity);

// Whether the value exists (its size can be queried).
int registry_value_exists(HKEY root, const char *sub_key, const char *value_name);

// RegDeleteKeyA under HKEY_LOCAL_MACHINE (a key with subkeys stays).
int delete_machine_key(const char *sub_key);

// Deletes a key under HKEY_LOCAL_MACHINE with every key below it, deepest
// first (RegDeleteKeyA on the NT family deletes only a key without
// subkeys). 1 only when the key itself was deleted; a subkey that cannot be
// deleted keeps it, and the keys already deleted below it stay deleted.
int delete_machine_key_tree(const char *sub_key);
