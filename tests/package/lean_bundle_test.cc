// The installed bundle is lean and starts without compiling: no debug
// information (it stays in the build's debug/ directory), no library search
// path that leaves the bundle, and the standard library and the program
// shipped as bytecode, so that a read-only install imports what
// applications need without compiling any source, with the build's Python
// hidden.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app_run.h"
#include "installed_checks.h"

namespace {

using norvale_test::ChildOptions;
using norvale_test::read_file;
using norvale_test::run_child;
using norvale_test::XdgTree;
using package_test::expect_lean_elf_files;
using package_test::readelf;

std::string install(const XdgTree& tree) {
  const std::string prefix = tree.path("installed");
  auto result = run_child({NORVALE_CMAKE_COMMAND, "--install", NORVALE_BINARY_DIR, "--prefix",
                           prefix});
  if (result.exit_code() != 0) {
    ADD_FAILURE() << result.out << result.err;
    return "";
  }
  return prefix;
}

TEST(InstalledBundle, ShipsNoDebugInformationAndSearchesLibrariesOnlyInsideItself) {
  XdgTree tree;
  const std::string bundle = install(tree);
  ASSERT_FALSE(bundle.empty());
  // Every binary, the application's packages' included.
  EXPECT_GT(expect_lean_elf_files(bundle, NORVALE_DEBUG_DIR), 20);
  for (const char* kept : {"bin/runner", "lib/libnorvale.so"}) {
    EXPECT_NE(readelf("-S", bundle + "/" + kept).find(".gnu_debuglink"), std::string::npos) << kept;
  }
  // The pure-Python standard library is only in the archive (the
  // application's packages, in site-packages, keep their sources).
  EXPECT_TRUE(std::filesystem::exists(bundle + "/lib/" NORVALE_PYTHON_ZIP_NAME));
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(bundle + "/lib/" NORVALE_PYTHON_STDLIB_NAME)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() == ".py" && path.find("/site-packages/") == std::string::npos) {
      EXPECT_NE(path.find("/venv/"), std::string::npos) << path;
    }
  }
}

// Installing into a prefix that holds other files strips only its own.
TEST(InstalledBundle, InstallationLeavesTheRestOfThePrefixAlone) {
  XdgTree tree;
  const std::string foreign = tree.path("installed/lib/other/libforeign.so");
  std::filesystem::create_directories(tree.path("installed/lib/other"));
  std::filesystem::copy_file(NORVALE_BINARY_DIR "/bundle/lib/libnorvale.so", foreign);
  const std::string before = read_file(foreign);
  ASSERT_NE(readelf("-S", foreign).find(".debug_info"), std::string::npos);
  ASSERT_FALSE(install(tree).empty());
  EXPECT_TRUE(read_file(foreign) == before);
}

// Imports, in the bundle's own Python, what applications need and uses a
// little of each; reports any source the import system compiled.
constexpr char kImportScript[] = R"(
import sys
compiled = []
def hook(event, args):
    if event == "compile" and isinstance(args[1], str) and args[1].endswith(".py"):
        compiled.append(args[1])
sys.addaudithook(hook)

import ssl, sqlite3, ctypes, decimal, lzma, bz2, zoneinfo, asyncio, multiprocessing, venv
import json, logging, urllib.request, email.message, http.client, dataclasses, typing
import pathlib, subprocess, threading, concurrent.futures, importlib.util, os

ssl.create_default_context()
assert sqlite3.connect(":memory:").execute("select 6 * 7").fetchone() == (42,)
assert ctypes.CDLL(None).getpid() == os.getpid()
assert decimal.Decimal("0.1") + decimal.Decimal("0.2") == decimal.Decimal("0.3")
assert lzma.decompress(lzma.compress(b"lzma")) == b"lzma"
assert bz2.decompress(bz2.compress(b"bz2")) == b"bz2"
assert zoneinfo.ZoneInfo("UTC").key == "UTC"
assert asyncio.run(asyncio.sleep(0, "ran")) == "ran"
multiprocessing.get_context("spawn")
assert os.path.isdir(os.path.join(os.path.dirname(venv.__file__), "scripts", "common"))

# The program's own modules carry bytecode checked against their source.
program = os.path.join(sys.prefix, "share", "norvale", "program")
for name in sorted(os.listdir(program)):
    if name.endswith(".py"):
        source = os.path.join(program, name)
        with open(importlib.util.cache_from_source(source), "rb") as f:
            pyc = f.read(16)
        with open(source, "rb") as f:
            assert pyc[4:8] == b"\x03\0\0\0", name
            assert pyc[8:16] == importlib.util.source_hash(f.read()), name
print("prefix", sys.prefix)
print("compiled", len(compiled), *compiled)
)";

TEST(InstalledBundle, ReadOnlyInstallImportsWhatApplicationsNeedWithoutCompiling) {
  XdgTree tree;
  const std::string bundle = install(tree);
  ASSERT_FALSE(bundle.empty());
  const std::string script = tree.path("imports.py");
  std::ofstream(script) << kImportScript;
  // The bundle read-only, the build's Python gone.
  const std::string hide_and_protect =
      e2e_test::hide_builds_python() +
      " && mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$2\" \"$1\" \"$3\"";
  ChildOptions options;
  options.env["PYTHONDONTWRITEBYTECODE"] = std::nullopt;
  options.env["PYTHONHOME"] = std::nullopt;
  options.env["PYTHONPATH"] = std::nullopt;
  auto result = run_child({"/usr/bin/unshare", "-m", "sh", "-c", hide_and_protect, "sh", bundle,
                           NORVALE_RUN_IN_BUNDLE, script},
                          options);
  ASSERT_EQ(result.exit_code(), 0) << result.out << result.err;
  EXPECT_EQ(result.out, "prefix " + bundle + "\ncompiled 0\n") << result.err;
  EXPECT_EQ(result.err, "");
}

}  // namespace
