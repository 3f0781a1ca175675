// What the command line and the environment decide inside the embedding:
// the Dart entry point's arguments and the renderer.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "runner_fixture.h"

namespace {

using namespace norvale_test;

struct ArgumentsCase {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ArgumentsCase> kArguments = {
    {"none", {}},
    {"word_option_and_blank", {"word", "--two-dashes", "with blank"}},
    // Each would change what GLib or GTK does if they parsed the command
    // line: another (here: no) display, warnings made fatal, help printed
    // instead of a window, a service instead of an activation.
    {"options_of_glib_and_gtk",
     {"--display", ":9999", "--display=:9999", "--g-fatal-warnings", "--gtk-debug=misc",
      "--name=other", "--class=Other", "--gapplication-service", "--help", "-h", "--version"}},
    {"bytes_that_need_care",
     {"", "Grüße, 世界", "\"quoted\"", "'single'", "back\\slash", "tab\there", "new\nline",
      "\xff\xfe not utf-8", " leading and trailing "}},
    {"separators", {"--", "-", "--", "x"}},
    // Not a multiprocessing child's command line, so an application start.
    {"c_with_ordinary_code", {"-c", "print('must not run')"}},
    {"near_misses_of_child_markers",
     {"--multiprocessing-forkserver", "-c", "from multiprocessing import spawn"}},
};

class EntryPointArguments : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(EntryPointArguments, ArriveUnchangedAndInOrder) {
  const ArgumentsCase& c = GetParam();
  RunnerRun run = run_runner(RunnerOptions().args(c.args));
  ASSERT_EQ(run.result.exit_code(), 0) << run.result.err;
  EXPECT_EQ(run.result.out, "");
  EXPECT_EQ(unexpected_stderr(run.result.err), "");
  EXPECT_EQ(run.trace.all("dart-entrypoint-arguments"),
            std::vector<std::vector<std::string>>{c.args});
  EXPECT_EQ(run.trace.all("window-report-end").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, EntryPointArguments, testing::ValuesIn(kArguments),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

struct RendererCase {
  const char* name;
  std::optional<std::string> no_impeller;     // ZEMTRA_NO_IMPELLER
  std::optional<std::string> linux_renderer;  // FLUTTER_LINUX_RENDERER
  bool impeller_off;
};

void PrintTo(const RendererCase& c, std::ostream* os) { *os << c.name; }

const std::vector<RendererCase> kRenderers = {
    {"neither_set", std::nullopt, std::nullopt, false},
    {"no_impeller_1", "1", std::nullopt, true},
    {"no_impeller_true", "true", std::nullopt, true},
    {"no_impeller_TRUE", "TRUE", std::nullopt, true},
    {"no_impeller_tRuE", "tRuE", std::nullopt, true},
    {"no_impeller_yes", "yes", std::nullopt, true},
    {"no_impeller_YeS", "YeS", std::nullopt, true},
    {"no_impeller_0", "0", std::nullopt, false},
    {"no_impeller_false", "false", std::nullopt, false},
    {"no_impeller_no", "no", std::nullopt, false},
    {"no_impeller_empty", "", std::nullopt, false},
    {"no_impeller_leading_blank", " 1", std::nullopt, false},
    {"no_impeller_trailing_blank", "1 ", std::nullopt, false},
    {"no_impeller_more_than_yes", "yes please", std::nullopt, false},
    {"no_impeller_11", "11", std::nullopt, false},
    {"renderer_software", std::nullopt, "software", true},
    {"renderer_Software", std::nullopt, "Software", false},
    {"renderer_SOFTWARE", std::nullopt, "SOFTWARE", false},
    {"renderer_software_blank", std::nullopt, "software ", false},
    {"renderer_empty", std::nullopt, "", false},
    {"renderer_opengl", std::nullopt, "opengl", false},
    {"no_impeller_0_renderer_software", "0", "software", true},
    {"no_impeller_empty_renderer_software", "", "software", true},
    {"no_impeller_no_renderer_Software", "no", "Software", false},
    {"both_ask_for_it", "1", "software", true},
    {"no_impeller_YES_renderer_opengl", "YES", "opengl", true},
};

class Renderer : public testing::TestWithParam<RendererCase> {};

TEST_P(Renderer, ImpellerIsSwitchedOffByExactlyOneCallOrLeftAlone) {
  const RendererCase& c = GetParam();
  RunnerRun run = run_runner(RunnerOptions()
                                 .env("ZEMTRA_NO_IMPELLER", c.no_impeller)
                                 .env("FLUTTER_LINUX_RENDERER", c.linux_renderer));
  ASSERT_EQ(run.result.exit_code(), 0) << run.result.err;
  auto calls = run.trace.all("enable-impeller");
  if (c.impeller_off) {
    EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{{"FALSE"}}));
  } else {
    EXPECT_TRUE(calls.empty()) << calls.size() << " call(s)";
  }
  // Decided on the project, before the view that runs it exists.
  if (!calls.empty()) {
    EXPECT_LT(run.trace.index_of("enable-impeller"), run.trace.index_of("view-new"));
    EXPECT_GT(run.trace.index_of("enable-impeller"), run.trace.index_of("project-new"));
  }
}

INSTANTIATE_TEST_SUITE_P(Environment, Renderer, testing::ValuesIn(kRenderers),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
