// user_entry_owner over arbitrary kinds of file and contents. The first
// input byte chooses what lies at the entry path; the rest is the contents
// of whatever file there is. Whatever it is, the answer comes without
// waiting (a FIFO has no writer), is one of the three values, and hands out
// contents only for an entry that is ours: the text before the first NUL.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "desktop_internal.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_user_entry_owner: %s\n", what);
  std::abort();
}

enum Kind {
  kNothing,
  kRegular,
  kDirectory,
  kLinkToRegular,
  kDanglingLink,
  kFifo,
  kSocket,
  kBelowARegularFile,  // the path's parent is a regular file
  kKinds
};

std::string g_scratch;

std::string scratch(const char* name) { return g_scratch + "/" + name; }

void write_file(const std::string& path, std::string_view contents) {
  require(g_file_set_contents(path.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                              nullptr),
          "cannot write a file");
}

void make_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  require(fd >= 0, "no socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  require(path.size() < sizeof address.sun_path, "socket path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  require(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "cannot bind");
  close(fd);
}

// Puts a thing of `kind` at the returned path.
std::string arrange(Kind kind, std::string_view contents) {
  const std::string path = scratch("entry.desktop");
  switch (kind) {
    case kNothing: break;
    case kRegular: write_file(path, contents); break;
    case kDirectory: require(mkdir(path.c_str(), 0700) == 0, "cannot mkdir"); break;
    case kLinkToRegular:
      write_file(scratch("target"), contents);
      require(symlink(scratch("target").c_str(), path.c_str()) == 0, "cannot link");
      break;
    case kDanglingLink:
      require(symlink(scratch("missing").c_str(), path.c_str()) == 0, "cannot link");
      break;
    case kFifo: require(mkfifo(path.c_str(), 0600) == 0, "cannot mkfifo"); break;
    case kSocket: make_socket(path); break;
    case kBelowARegularFile:
      write_file(scratch("plain"), contents);
      return scratch("plain") + "/entry.desktop";
    case kKinds: break;
  }
  return path;
}

void clear_scratch() {
  for (const char* name : {"entry.desktop", "target", "plain", "prefix"}) {
    std::remove(scratch(name).c_str());
  }
}

void remove_scratch() {
  clear_scratch();
  rmdir(g_scratch.c_str());
}

// Classifies `path` with and without collecting contents; both must agree,
// and contents come only with kOurs, as the text before the first NUL.
UserEntryOwner classify(const std::string& path, std::string_view contents) {
  static char untouched = 0;
  char* collected = &untouched;
  const UserEntryOwner owner = user_entry_owner(path.c_str(), &collected);
  const int value = static_cast<int>(owner);
  require(value >= 0 && value <= 2, "not one of the three values");
  require(user_entry_owner(path.c_str(), nullptr) == owner, "the answer depends on the out-parameter");
  if (owner != UserEntryOwner::kOurs) {
    require(collected == &untouched, "contents written for an entry that is not ours");
    return owner;
  }
  require(collected != nullptr && collected != &untouched, "no contents for an entry that is ours");
  const std::string_view before_nul = contents.substr(0, contents.find('\0'));
  require(before_nul == collected, "the contents are not the text before the first NUL");
  g_free(collected);
  return owner;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz-owner-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_scratch = pattern;
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Kind kind = static_cast<Kind>(data[0] % kKinds);
  const std::string_view contents(reinterpret_cast<const char*>(data) + 1, size - 1);
  clear_scratch();
  const std::string path = arrange(kind, contents);
  const UserEntryOwner owner = classify(path, contents);
  switch (kind) {
    case kNothing: require(owner == UserEntryOwner::kAbsent, "nothing there is not kAbsent"); break;
    case kRegular:
      require(owner != UserEntryOwner::kAbsent, "a file taken for nothing");
      if (contents.find('\0') != std::string_view::npos) {
        // Judged by the text before the NUL alone.
        const std::string_view prefix = contents.substr(0, contents.find('\0'));
        write_file(scratch("prefix"), prefix);
        require(classify(scratch("prefix"), prefix) == owner, "bytes after a NUL changed the answer");
      }
      break;
    case kLinkToRegular:
      // Whatever the target is, the link itself is never ours.
      classify(scratch("target"), contents);
      require(owner == UserEntryOwner::kForeign, "a symbolic link is not kForeign");
      break;
    default: require(owner == UserEntryOwner::kForeign, "a file that is not regular is not kForeign");
  }
  clear_scratch();
  return 0;
}
