#include "runner_instance.h"

namespace desktop_test {

norvale_test::ChildOptions instance_options(norvale_test::ChildOptions tree_options) {
  tree_options.env["NORVALE_FLUTTER_TRACE"] = "/dev/fd/" + std::to_string(RunnerInstance::kTraceFd);
  tree_options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = "at-stdin-end";
  return tree_options;
}

RunnerInstance::RunnerInstance(const std::string& executable,
                               const norvale_test::ChildOptions& options,
                               const std::string& log_stem)
    : TracedChild(executable, options.env, log_stem, 0) {}

bool RunnerInstance::wait_for(const std::string& key) {
  const size_t end = find_line([&key](std::string_view line) { return line.starts_with(key); },
                               consumed_);
  if (end == std::string::npos) return false;
  consumed_ = end;
  return true;
}

}  // namespace desktop_test
