// Stopping a service and deleting its registry keys, for a trojan process
// on NT 4 and NT 5.x; only a service whose configured image is the
// infected file is ever touched.
#pragma once

// Whether the service's ImagePath under SYSTEM\<control_set>\Services names
// the file: with environment variables expanded, an opening quote and the
// arguments removed, and the \??\, \SystemRoot\ and relative forms resolved
// as the service control manager does (System32\... in the Windows folder, a
// bare program name in the system folder); compared in long and short (8.3)
// form with the path that names the file without WOW64's redirection. An
// empty name or a missing ImagePath names no file.
int service_runs_file(const char *control_set, const char *service_name, const char *file);

// Nonzero when the named service was stopped.
int stop_service(const char *service_name);

// Deletes, with everything below it, the service's key in each numbered
// control set (ControlSet001, ControlSet002) whose ImagePath names the file.
// 1 when there was such a key and every such key is gone, else 0.
int delete_service_keys(const char *service_name, const char *file);

// Whether a numbered control set (ControlSet001, ControlSet002) holds a key
// of the service whose ImagePath names the file: what delete_service_keys
// would delete.
int service_keys_name_file(const char *service_name, const char *file);

// Offline: the key of the service named after the file (its name without
// the last "."), in every numbered control set (each key ControlSetNNN of
// SYSTEM) where its ImagePath names the file, is deleted with everything
// below it, one report line each, removed or Remove failed; in a
// detect-only scan each is reported found, once. A service of that name
// that runs another file, and a service of another name that runs this
// one (a genuine service whose file the trojan replaced), are left alone.
void remove_services_of_file(const char *file);
