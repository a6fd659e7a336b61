# make demo  - build pldctl and tour the simulated engine
# make test  - build and run every test on the host and on the PowerPC target (qemu-ppc)
# make check - test, plus the AddressSanitizer/UBSan and ThreadSanitizer legs
# Each target first installs the Debian packages it lacks (as root) or names them.

ENSURE := scripts/ensure-packages

.PHONY: all demo test check test-host test-ppc32 test-asan test-tsan bench format clean

all: test

demo:
	@$(ENSURE) host
	cmake --preset host
	cmake --build --preset host --target pldctl
	./build/host/tools/pldctl/pldctl

test: test-host test-ppc32

check: test test-asan test-tsan

test-host test-ppc32 test-asan test-tsan: test-%:
	@$(ENSURE) $*
	cmake --preset $*
	cmake --build --preset $*
	ctest --preset $*

bench:
	@$(ENSURE) bench
	cmake --preset bench
	cmake --build --preset bench
	./build/bench/bench/zvpld_bench

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf build
