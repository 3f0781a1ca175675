#ifndef RUNNER_DESKTOP_INTEGRATION_H_
#define RUNNER_DESKTOP_INTEGRATION_H_

// The hidden per-user desktop entry that stays installed while instances of
// the application run.

// Installs or confirms the entry for the executable at `executable_path`.
void install_desktop_entry(const char* executable_path);

// Withdraws this instance; the last instance removes the entry.
void remove_desktop_entry();

#endif  // RUNNER_DESKTOP_INTEGRATION_H_
