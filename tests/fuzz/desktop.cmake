# The desktop integration's fuzz targets, on the same library that runner
# links.
norvale_add_fuzzer(fuzz_quote_exec_argument SOURCES fuzz_quote_exec_argument.cc LIBS runner_desktop)
norvale_add_fuzzer(fuzz_user_entry_owner SOURCES fuzz_user_entry_owner.cc LIBS runner_desktop)
