// Stopping a service and deleting its registry keys, for a trojan process
// that could not be terminated on NT 4 and NT 5.x.
#pragma once

// Nonzero when the named service was stopped.
int stop_service(const char *service_name);

// Deletes the service's keys under both control sets; 1 when all succeeded.
int delete_service_keys(const char *service_name);
