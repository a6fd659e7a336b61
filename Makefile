# make demo  - build pldctl and tour the simulated engine
# make test  - build and run every test on the host and on the PowerPC target (qemu-ppc)
# make check - test, plus the AddressSanitizer/UBSan and ThreadSanitizer legs and a short fuzz run
# make fuzz  - fuzz the active-events answer for a minute (clang, libFuzzer, ASan and UBSan)
# Each target first installs the Debian packages it lacks (as root) or names them.

ENSURE := scripts/ensure-packages

.PHONY: all demo test check test-host test-ppc32 test-asan test-tsan fuzz fuzz-smoke bench format \
	clean

all: test

demo:
	@$(ENSURE) host
	cmake --preset host
	cmake --build --preset host --target pldctl
	./build/host/tools/pldctl/pldctl

test: test-host test-ppc32

check: test test-asan test-tsan fuzz-smoke

test-host test-ppc32 test-asan test-tsan: test-%:
	@$(ENSURE) $*
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

# libFuzzer writes the inputs it finds to its first corpus directory: a scratch one in the build
# tree, so that the seeds in the repository stay as they are; a failing input goes to build/fuzz/.
FUZZER := ./build/fuzz/tests/fuzz/active_events_fuzz
fuzz: FUZZ_TIME := 60
fuzz-smoke: FUZZ_TIME := 10
fuzz fuzz-smoke:
	@$(ENSURE) fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	mkdir -p build/fuzz/corpus
	$(FUZZER) -max_total_time=$(FUZZ_TIME) -artifact_prefix=build/fuzz/ build/fuzz/corpus \
		tests/fuzz/corpus

bench:
	@$(ENSURE) bench
	cmake --preset bench
	cmake --build --preset bench
	./build/bench/bench/zvpld_bench

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf build
