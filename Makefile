# The two commands: `make serve` runs a board on 127.0.0.1:8080, `make test`
# runs every test in a sanitizer build. Both install what is missing first.
JOBS ?= $(shell nproc)
BUILD ?= build
# make install: where the programs go (PREFIX/bin, PREFIX/lib/corkwall, ...);
# DESTDIR, when given, is put in front of every path (for staging).
PREFIX ?= /usr/local

.PHONY: all deps test serve bench fuzz release install deb clean

all: release

deps:
	@scripts/install-deps

# AddressSanitizer + UndefinedBehaviorSanitizer build, every test through CTest.
test: deps
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DCORKWALL_SANITIZE=ON -DCORKWALL_TESTS=ON
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ctest --output-on-failure -j $(JOBS)

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
