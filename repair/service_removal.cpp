// Service removal.
#include "repair/service_removal.h"

int stop_service(const char *) { return 0; }

int delete_service_keys(const char *) { return 0; }
