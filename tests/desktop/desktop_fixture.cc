#include "desktop_fixture.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace desktop_test {

namespace {

std::string join(const std::string& a, const std::string& b) { return a + "/" + b; }

void die(const std::string& what) {
  std::fprintf(stderr, "desktop fixture: %s\n", what.c_str());
  std::abort();
}

// Gives back every mode bit that a test took away, so the tree can go.
void make_removable(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
  chmod(path.c_str(), 0700);
  for (const std::string& name : list_dir(path)) make_removable(join(path, name));
}

}  // namespace

XdgTree::XdgTree() {
  const char* tmp = g_getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/desktop-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) die("mkdtemp failed");
  root = pattern;
  runtime = join(root, "run");
  data_home = join(root, "data");
  system_dir = join(root, "system");
  make_dirs(data_home);
  make_dirs(system_dir);
  make_dirs(runtime);
  chmod(runtime.c_str(), 0700);
}

XdgTree::~XdgTree() {
  make_removable(root);
  remove_tree(root);
}

std::string XdgTree::base_dir() const { return join(runtime, "zemtra"); }
std::string XdgTree::runtime_area() const { return join(base_dir(), APPLICATION_ID); }
std::string XdgTree::lock_file() const { return runtime_area() + ".lock"; }
std::string XdgTree::marker(pid_t pid) const {
  return join(runtime_area(), std::to_string(pid));
}
std::string XdgTree::icon_copy() const { return join(runtime_area(), "icon.png"); }
std::string XdgTree::user_entry() const {
  return join(join(data_home, "applications"), entry_file_name());
}
std::string XdgTree::system_entry() const {
  return join(join(system_dir, "applications"), entry_file_name());
}

norvale_test::ChildOptions XdgTree::options() const {
  norvale_test::ChildOptions options;
  options.env["XDG_RUNTIME_DIR"] = runtime;
  options.env["XDG_DATA_HOME"] = data_home;
  options.env["XDG_DATA_DIRS"] = system_dir + ":/usr/share";
  options.env["XDG_CONFIG_HOME"] = join(root, "config");
  options.env["XDG_CACHE_HOME"] = join(root, "cache");
  options.env["HOME"] = root;
  options.env["FLATPAK_ID"] = std::nullopt;
  options.env["SNAP"] = std::nullopt;
  options.env["APPIMAGE"] = std::nullopt;
  options.env["G_MESSAGES_DEBUG"] = std::nullopt;
  options.env["NO_AT_BRIDGE"] = "1";
  options.env["GTK_A11Y"] = "none";
  return options;
}

std::string entry_file_name() { return std::string(APPLICATION_ID) + ".desktop"; }

std::string FakeBundle::first_template() const {
  return dir + "/bin/share/applications/" + entry_file_name();
}
std::string FakeBundle::second_template() const {
  return dir + "/share/applications/" + entry_file_name();
}
std::string FakeBundle::icon() const { return dir + "/bin/data/app_icon.png"; }

FakeBundle make_bundle(const std::string& dir, const std::string& executable_name) {
  FakeBundle bundle{dir, dir + "/bin/" + executable_name};
  make_dirs(dir + "/bin");
  return bundle;
}

std::string template_text(const std::string& name) {
  return "# Template comment\n"
         "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" + name + "\n"
         "Exec=runner\n"
         "Icon=template-icon\n"
         "Terminal=false\n";
}

void write_file(const std::string& path, const std::string& contents) {
  g_autofree char* parent = g_path_get_dirname(path.c_str());
  make_dirs(parent);
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                           &error)) {
    die(error->message);
  }
}

std::optional<std::string> read_file(const std::string& path) {
  g_autofree char* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return std::nullopt;
  return std::string(contents, length);
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  g_autoptr(GDir) dir = g_dir_open(path.c_str(), 0, nullptr);
  if (dir == nullptr) return names;
  while (const char* name = g_dir_read_name(dir)) names.emplace_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

void make_dirs(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0755) != 0) die("cannot create " + path);
}

void remove_tree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    for (const std::string& name : list_dir(path)) remove_tree(join(path, name));
    g_rmdir(path.c_str());
  } else {
    g_unlink(path.c_str());
  }
}

bool obey_file_modes() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (unsigned cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
  }
  return syscall(SYS_capset, &header, data) == 0;
}

std::optional<std::string> entry_string(const std::string& text, const char* key) {
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  if (!g_key_file_load_from_data(key_file, text.data(), text.size(), G_KEY_FILE_NONE, nullptr)) {
    return std::nullopt;
  }
  g_autofree char* value = g_key_file_get_string(key_file, "Desktop Entry", key, nullptr);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace desktop_test
