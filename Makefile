# One command each, on a fresh Debian machine: what is missing is installed.
#   make test   build everything, run the test suite, then run it again with
#               AddressSanitizer and UndefinedBehaviorSanitizer
.PHONY: deps build test test-default test-asan clean

deps:
	./scripts/install-deps.sh

build-%: deps
	cmake --preset $*
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

test: test-default test-asan

clean:
	rm -rf build
