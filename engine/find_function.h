// The lookup by name, at run time, of a function that not every Windows
// version exports, so that the program imports only what the oldest systems
// offer.
#pragma once
#include "platform/os.h"

// Looks up name in module; null when module is null or lacks it.
template <typename F>
F find_function(HMODULE module, const char *name) {
    return module ? reinterpret_cast<F>(reinterpret_cast<void *>(os::GetProcAddress(module, name)))
                  : nullptr;
}
