# make demo  - build pldctl and tour the simulated engine
# make test  - build and run every test on the host and on the PowerPC target (qemu-ppc)
# make check - test with Chromium installed (the web console's browser tests run in the host leg),
#              plus the AddressSanitizer/UBSan and ThreadSanitizer legs, 10 s of each fuzzer, the
#              valgrind leg and the ppc32 instruction and allocation counts
# make console - the engine daemon and the web console on it (open the address it prints);
#              Ctrl-C stops both
# make count-instructions - the ppc32 instructions per operation of the one-thread comparisons
#              (IRATIO) and the proxy's allocations per operation (ALLOCS), checked against their
#              goals and against bench/ppc32-counts.txt; UPDATE=1 rewrites that file instead
# make fuzz  - fuzz the active-events answer, the frame decoder, the control commands, the
#              scenario reader and the trace reader, a minute each (clang, libFuzzer, ASan and UBSan)
# make node-modules - the Node client's and its Playwright examples' npm packages (npm ci)
# make package - Debian packages of the library, its stand-ins and the tools for amd64 (host) and
#              powerpc (ppc32) in build/packages/ from Release trees, checked by lintian
# make valgrind - the host tests under valgrind's memcheck, the stress tests at a lower count: any
#              memory error or lost block fails it
# Each target first installs the Debian packages it lacks (as root) or names them.

ENSURE := scripts/ensure-packages

.PHONY: all demo console test check test-host test-ppc32 test-asan test-tsan test-browser fuzz \
	fuzz-smoke bench count-instructions valgrind package format clean node-modules

all: test

demo:
	@$(ENSURE) host
	cmake --preset host
	cmake --build --preset host --target pldctl
	./build/host/tools/pldctl/pldctl

# The daemon keeps its socket and the points' values in build/host/console/. The console starts
# once the daemon answers a read (pldctl exits 0): its socket file exists before it listens.
# Ctrl-C reaches the console only; the daemon, in a session of its own, is stopped after it.
CONSOLE := build/host/console
CONSOLE_PORT := 8080
console:
	@$(ENSURE) host
	cmake --preset host
	cmake --build --preset host --target pld-engined pldweb pldctl
	@mkdir -p $(CONSOLE) && rm -f $(CONSOLE)/engine.sock
	@setsid ./build/host/tools/pld-engined/pld-engined --socket $(CONSOLE)/engine.sock \
		--state $(CONSOLE)/state.json & daemon=$$!; \
	trap 'kill $$daemon 2>/dev/null; wait $$daemon' EXIT; trap 'exit 0' INT TERM; \
	tries=100; \
	until ./build/host/tools/pldctl/pldctl --engine unix:$(CONSOLE)/engine.sock get 1 100 \
			>/dev/null 2>&1; do \
		tries=$$((tries - 1)); \
		if [ $$tries -eq 0 ] || ! kill -0 $$daemon 2>/dev/null; then \
			echo "pld-engined did not answer on $(CONSOLE)/engine.sock" >&2; exit 1; \
		fi; \
		sleep 0.1; \
	done; \
	./build/host/tools/pldweb/pldweb --engine unix:$(CONSOLE)/engine.sock --port $(CONSOLE_PORT)

test: test-host test-ppc32

# Chromium first, so that the host leg runs the browser tests (they skip without it), once.
check:
	@$(ENSURE) host browser clients
	@$(MAKE) --no-print-directory node-modules
	@$(MAKE) --no-print-directory test test-asan test-tsan fuzz-smoke valgrind count-instructions

# npm ci, where node_modules is missing or older than the lock file; the examples link the client,
# so it comes first. The machine's nodejs may come without npm: Debian's then.
NODE_DIRS := tools/zvpld-node examples/playwright
node-modules: $(NODE_DIRS:%=%/node_modules/.package-lock.json)
%/node_modules/.package-lock.json: %/package-lock.json
	@command -v npm >/dev/null || apt-get install -y -qq --no-install-recommends npm
	cd $* && npm ci --no-audit --no-fund

test-host test-ppc32 test-asan test-tsan: test-%:
	@$(ENSURE) $*
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

# The browser tests alone (make test runs them with the other host tests when Chromium is there).
test-browser:
	@$(ENSURE) host browser
	cmake --preset host
	cmake --build --preset host
	ctest --preset host -L browser

# libFuzzer writes the inputs it finds to its first corpus directory: a scratch one in the build
# tree, so that the seeds in the repository stay as they are; a failing input goes to build/fuzz/.
FUZZERS := ./build/fuzz/tests/fuzz
fuzz: FUZZ_TIME := 60
fuzz-smoke: FUZZ_TIME := 10
fuzz fuzz-smoke:
	@$(ENSURE) fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	mkdir -p build/fuzz/corpus build/fuzz/wire_corpus build/fuzz/control_corpus \
		build/fuzz/scenario_corpus build/fuzz/trace_corpus
	$(FUZZERS)/active_events_fuzz -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/ \
		build/fuzz/corpus tests/fuzz/corpus
	$(FUZZERS)/wire_fuzz -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/wire- \
		build/fuzz/wire_corpus tests/fuzz/wire_corpus
	$(FUZZERS)/control_fuzz -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/control- \
		build/fuzz/control_corpus tests/fuzz/control_corpus
	$(FUZZERS)/scenario_fuzz -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/scenario- \
		build/fuzz/scenario_corpus tests/fuzz/scenario_corpus
	$(FUZZERS)/trace_fuzz -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/trace- \
		build/fuzz/trace_corpus tests/fuzz/trace_corpus

# The host tree's own binaries (Debug, -g): a tree of its own would build the same ones again.
valgrind:
	@$(ENSURE) host valgrind
	cmake --preset host
	cmake --build --preset host
	ctest -V -DZVPLD_BUILD_DIR=build/host -S scripts/valgrind-suite.cmake

# SIZE is that of the ppc32 Release library, stripped as the device would install it.
bench:
	@$(ENSURE) bench ppc32
	cmake --preset bench
	cmake --build --preset bench --target zvpld_bench zvpld_replay_bench
	cmake --preset ppc32-release
	cmake --build --preset ppc32-release --target ZvPldProxy
	powerpc-linux-gnu-strip -o build/ppc32-release/libZvPldProxy.stripped.so \
		build/ppc32-release/src/libZvPldProxy.so
	./build/bench/bench/zvpld_bench --size_of=build/ppc32-release/libZvPldProxy.stripped.so; \
		timed=$$?; ./build/bench/bench/zvpld_replay_bench || timed=1; \
		$(MAKE) --no-print-directory count-instructions && exit $$timed

# The instructions are counted in the ppc32 Release build, the device's, under qemu-ppc.
PATHS := build/ppc32-release/bench/zvpld_paths
count-instructions:
	@$(ENSURE) ppc32
	cmake --preset ppc32-release
	cmake --build --preset ppc32-release --target zvpld_paths
	qemu-ppc -L /usr/powerpc-linux-gnu $(PATHS) allocs
	scripts/count-instructions $(PATHS) bench/ppc32-counts.txt $(if $(UPDATE),--update)

# The Release trees, the host's and the device's (the ppc32 tree of make bench's SIZE), with debug
# symbols that go to the -dbgsym packages: what the packages hold is built, not the tests.
# cmake/Packaging.cmake says what goes where; docs/packaging.md why.
package:
	@$(ENSURE) host ppc32
	rm -rf build/packages
	for preset in host-release ppc32-release; do \
		cmake --preset $$preset >/dev/null && \
		cmake --build --preset $$preset --target zvpld_package_inputs && \
		(cd build/$$preset && cpack -G DEB -B ../packages >cpack.log) || exit 1; \
	done
	rm -rf build/packages/_CPack_Packages
	scripts/package-python build/packages
	lintian --fail-on error,warning build/packages/*.deb
	lintian --fail-on error,warning build/packages/*.ddeb
	tests/package/check-package.sh optimised build/packages
	tests/package/check-package.sh contents build/packages
	@ls build/packages

# The C++ and the Node client's JavaScript (the console's page script keeps its own layout).
format:
	clang-format -i $$(git ls-files '*.h' '*.cpp' 'tools/zvpld-node/*.js' 'tests/clients/*.js' \
		'examples/playwright/*.js')

clean:
	rm -rf build
