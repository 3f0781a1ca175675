#ifndef RUNNER_APP_ICON_H_
#define RUNNER_APP_ICON_H_

// Makes the icon shipped beside the executable the default window icon.
void set_app_icon(const char* executable_path);

#endif  // RUNNER_APP_ICON_H_
