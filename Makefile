# Two commands matter on a fresh machine:
#   make run    installs what is missing, builds, and serves ./data
#   make test   installs what is missing, builds both builds, runs every test
.PHONY: all deps package-deps build asan run test unit bench reliability fuzz package format clean

JOBS ?= $(shell nproc)

all: build

deps:
	@bash scripts/install-deps.sh

# The tools that make and check the Debian package (the tests check it too).
package-deps:
	@bash scripts/install-deps.sh package

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

# The libFuzzer targets (clang, with the address and undefined-behaviour
# sanitizers); `make test` runs each briefly on its corpus.
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)

run: build
	@mkdir -p data
	@echo "Serving $(CURDIR)/data on ports 23322 (requests) and 23323 (transfers); Ctrl+C stops."
	@cd data && exec ../build/vextora-server

# Every test in the optimised build, then again under the sanitizers, then
# a short run of each fuzzer; the last lines are the test runner's summary.
test: build asan fuzz package-deps
	@cd build && ctest --output-on-failure -j 2
	@cd build-asan && ctest --output-on-failure -j 2
	@cd build-fuzz && ctest --output-on-failure

# The robustness proofs (fuzzing, hostile clients, soak, crash consistency),
# about forty minutes; their figures go into docs/reliability.md. Uses the fixed
# ports. `make reliability QUICK=1` runs each briefly.
reliability:
	@bash bench/reliability.sh $(if $(QUICK),--quick)

# The Debian package, build/vextora_<version>_<architecture>.deb.
package: build package-deps
	@cd build && cpack -G DEB

# Measures the server beside vsftpd, nginx and the loopback ceiling and
# rewrites docs/performance.md with its plots. Takes several minutes, and
# wants a machine that is otherwise quiet.
bench: build
	@bash scripts/install-deps.sh bench
	@cmake --build --preset default -j $(JOBS) --target bench_client >/dev/null
	@bash bench/run.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz
