# One command each, on a fresh Debian machine: what is missing is installed.
#   make test   build everything, run the test suite, then run it again with
#               AddressSanitizer and UndefinedBehaviorSanitizer
.PHONY: deps test test-default test-asan clean

deps:
	./scripts/install-deps.sh

test: test-default test-asan

test-default test-asan: test-%: deps
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

clean:
	rm -rf build
