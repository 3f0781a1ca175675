# One command each, on a fresh Debian machine: what is missing is installed.
#   make demo   build the bundle and start the demo application; without a
#               display it runs under Xvfb, drives the application for a few
#               seconds and leaves build/default/demo/demo.png and
#               build/default/demo/demo-transcript.txt
#   make test   build everything, run the test suite, then run it again with
#               AddressSanitizer and UndefinedBehaviorSanitizer, then run the
#               fuzz targets for a bounded time
#   make bench  build and run the benchmarks, then print the comparison table
#   make package  build the Debian package build/default/package/norvale_*.deb
#   make test-cpython  run CPython's whole multiprocessing and process-pool
#               suites inside the application (make test runs a subset)
#   make test-in-debian SUITE=testing  run `make test` in a fresh Debian root
#               of that suite (trixie, testing), from a clone of this
#               checkout's committed HEAD; STEPS=test-default runs only that
#               target there (scripts/in-debian.sh)
# CPython 3.12+ comes from the distribution, or pyenv; to build with another
# one, name its prefix: make test NORVALE_PYTHON_PREFIX=/opt/python3.13
# To try a program of your own in the demo (a folder with main.py and,
# optionally, requirements.txt): make demo NORVALE_DEMO_PROGRAM_DIR=~/my-program
.PHONY: deps demo test test-default test-asan test-fuzz test-cpython test-in-debian bench package clean

NORVALE_PYTHON_PREFIX ?=
NORVALE_DEMO_PROGRAM_DIR ?=
python_prefix = $(if $(NORVALE_PYTHON_PREFIX),-DNORVALE_PYTHON_PREFIX=$(NORVALE_PYTHON_PREFIX))
# Every command names the demo's program: without it, the stand-in's own.
demo_program = -DNORVALE_DEMO_PROGRAM_DIR=$(if $(NORVALE_DEMO_PROGRAM_DIR),$(abspath $(NORVALE_DEMO_PROGRAM_DIR)))

deps:
	NORVALE_PYTHON_PREFIX='$(NORVALE_PYTHON_PREFIX)' ./scripts/install-deps.sh

demo: deps
	cmake --preset default $(python_prefix) $(demo_program)
	cmake --build --preset default --target bundle norvale_with_display
	./standins/app/demo.sh build/default/bundle build/default/tests/with_display build/default/demo

test: test-default test-asan test-fuzz

test-default test-asan test-fuzz: test-%: deps
	cmake --preset $* $(python_prefix) $(demo_program)
	cmake --build --preset $*
	ctest --preset $*

test-cpython: deps
	cmake --preset default $(python_prefix) $(demo_program)
	cmake --build --preset default --target cpython_suites_full

SUITE ?= testing
STEPS ?= test
test-in-debian:
	./scripts/in-debian.sh '$(SUITE)' $(STEPS)

bench: deps
	cmake --preset default $(python_prefix) $(demo_program)
	cmake --build --preset default --target bench

package: deps
	cmake --preset default $(python_prefix) $(demo_program)
	cmake --build --preset default --target norvale_package

clean:
	rm -rf build
