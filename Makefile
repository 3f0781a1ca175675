# One command each, on a fresh Debian machine: what is missing is installed.
#   make test   build everything, run the test suite, then run it again with
#               AddressSanitizer and UndefinedBehaviorSanitizer, then run the
#               fuzz targets for a bounded time
#   make bench  build and run the benchmarks, then print the comparison table
.PHONY: deps test test-default test-asan test-fuzz bench clean

deps:
	./scripts/install-deps.sh

test: test-default test-asan test-fuzz

test-default test-asan test-fuzz: test-%: deps
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

bench: deps
	cmake --preset default
	cmake --build --preset default --target bench

clean:
	rm -rf build
