#ifndef TESTS_DESKTOP_DESKTOP_FIXTURE_H_
#define TESTS_DESKTOP_DESKTOP_FIXTURE_H_

// Throwaway XDG trees and fake bundles for the desktop integration's tests,
// and small file helpers.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace desktop_test {

// A fresh directory tree with its own runtime, data home and system data
// directory, removed again at the end of the test. Child processes started
// with options() see only this tree (plus /usr/share, which GTK needs).
class XdgTree {
 public:
  XdgTree();
  ~XdgTree();
  XdgTree(const XdgTree&) = delete;
  XdgTree& operator=(const XdgTree&) = delete;

  std::string root;        // the whole tree
  std::string runtime;     // XDG_RUNTIME_DIR
  std::string data_home;   // XDG_DATA_HOME
  std::string system_dir;  // first entry of XDG_DATA_DIRS

  std::string base_dir() const;      // runtime/zemtra
  std::string runtime_area() const;  // runtime/zemtra/APPLICATION_ID
  std::string lock_file() const;
  std::string marker(pid_t pid) const;
  std::string icon_copy() const;
  std::string user_entry() const;  // data_home/applications/APPLICATION_ID.desktop
  std::string system_entry() const;

  // The environment of a child that lives in this tree, unsandboxed.
  norvale_test::ChildOptions options() const;
};

// The file name of the desktop entry.
std::string entry_file_name();

// A fake bundle: bin/<executable> (only its path matters to the
// installation), a template entry and an icon.
struct FakeBundle {
  std::string dir;         // the bundle's top directory
  std::string executable;  // dir/bin/runner, not created
  std::string first_template() const;   // bin/share/applications/...
  std::string second_template() const;  // share/applications/...
  std::string icon() const;             // bin/data/app_icon.png
};
FakeBundle make_bundle(const std::string& dir, const std::string& executable_name = "runner");

// A template entry whose Name is `name`.
std::string template_text(const std::string& name);

// File helpers; each aborts the test process on failure where noted.
void write_file(const std::string& path, const std::string& contents);  // makes parents
std::optional<std::string> read_file(const std::string& path);
bool exists(const std::string& path);  // without following a symbolic link
std::vector<std::string> list_dir(const std::string& path);  // sorted; empty if missing
void make_dirs(const std::string& path);
void remove_tree(const std::string& path);

// Makes this process, when it runs as root, subject to file modes like any
// other user, so that permission failures can be tested. False on failure.
bool obey_file_modes();

// Desktop entry contents as GLib reads them.
std::optional<std::string> entry_string(const std::string& text, const char* key);

}  // namespace desktop_test

#endif  // TESTS_DESKTOP_DESKTOP_FIXTURE_H_
