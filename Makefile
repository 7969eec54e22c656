# The two commands: `make serve` runs a board on 127.0.0.1:8080, `make test`
# runs every test in a sanitizer build and again in the Release build. Both
# install what is missing first.
JOBS ?= $(shell nproc)
BUILD ?= build
# make install: where the programs go (PREFIX/bin, PREFIX/lib/corkwall, ...);
# DESTDIR, when given, is put in front of every path (for staging).
PREFIX ?= /usr/local
# The test builds compile through ccache when it is installed (install-deps
# brings it): CI builds everything twice, and a run after the first finds
# most of it compiled.
TEST_LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all deps test test-asan test-release serve bench fuzz release install deb clean

all: release

deps:
	@scripts/install-deps

# Every test in both builds, one after the other (never at once: each
# suite takes the whole machine).
test: deps
	$(MAKE) test-asan
	$(MAKE) test-release

# AddressSanitizer + UndefinedBehaviorSanitizer build, every test through CTest.
test-asan: deps
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DCORKWALL_SANITIZE=ON -DCORKWALL_TESTS=ON \
	  $(TEST_LAUNCHER)
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ctest --output-on-failure -j $(JOBS)

# The Release build users get (hardened as the package is), every test.
test-release: deps
	cmake -S . -B $(BUILD)/release-test -DCMAKE_BUILD_TYPE=Release -DCORKWALL_TESTS=ON \
	  $(TEST_LAUNCHER)
	cmake --build $(BUILD)/release-test -j $(JOBS)
	cd $(BUILD)/release-test && ctest --output-on-failure -j $(JOBS)

release: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DCORKWALL_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

serve: release
	@scripts/serve $(BUILD)/release

# One table of ratios, each figure against its baseline in the same run; also
# written to bench/RESULTS.md.
bench: deps
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DCORKWALL_TESTS=OFF -DCORKWALL_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS) --target plugin_bench
	@scripts/bench $(BUILD)/bench

# The release build installed under PREFIX (DESTDIR in front, when given).
install: release
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/release --prefix "$(PREFIX)"

# The Debian package of the release build, corkwall_VERSION_ARCH.deb in $(BUILD)/.
deb: release
	cpack --config $(BUILD)/release/CPackConfig.cmake -G DEB -B $(BUILD)/deb
	mv -f $(BUILD)/deb/corkwall_*.deb $(BUILD)/
	@ls -1 $(BUILD)/corkwall_*.deb

# libFuzzer (clang) with AddressSanitizer and UBSan: every target in fuzz/ for
# FUZZ_SECONDS (default 60) each; crash inputs land in build/fuzz/crashes/.
fuzz: deps
	cmake -S . -B $(BUILD)/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORKWALL_FUZZ=ON -DCORKWALL_TESTS=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_targets
	@scripts/fuzz $(BUILD)/fuzz

clean:
	rm -rf $(BUILD)
