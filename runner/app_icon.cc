#include "app_icon.h"

void set_app_icon(const char*) {}
