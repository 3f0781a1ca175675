#ifndef TESTS_PACKAGE_INSTALLED_CHECKS_H_
#define TESTS_PACKAGE_INSTALLED_CHECKS_H_

// Checks that every installed bundle and Debian package of the project
// must pass, whatever program and packages it carries.

#include <string>
#include <vector>

namespace package_test {

// readelf OPTION -W PATH, its output.
std::string readelf(const std::string& option, const std::string& path);

// Every ELF file below `bundle` has no debug information and no symbol
// table, which its build kept in `debug_dir` where it had any, and every
// library search path entry is $ORIGIN-relative and stays inside the
// bundle. Returns how many ELF files there are.
int expect_lean_elf_files(const std::string& bundle, const std::string& debug_dir);

// A wrapper that runs its command with the build's Python hidden and
// `bundle` read-only, in a mount namespace of its own.
std::vector<std::string> hiding_builds_python_and_protecting(const std::string& bundle);

std::vector<std::string> lines_of(const std::string& text);

// lintian on the package finds nothing above its informational tags, and
// no override goes unused.
void expect_lintian_clean(const std::string& deb);
// Every override in the unpacked package has its reason above it.
void expect_overrides_with_reasons(const std::string& overrides_file);

}  // namespace package_test

#endif  // TESTS_PACKAGE_INSTALLED_CHECKS_H_
