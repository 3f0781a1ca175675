#include "desktop_integration.h"

void install_desktop_entry(const char*) {}

void remove_desktop_entry() {}
