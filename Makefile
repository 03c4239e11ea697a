# The two entry points of the project; both install what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
SCREEN ?= 1920x1080x24
# The checked builds (clang, -O1 -g), each in its own folder.
FUZZ_DIR ?= build-fuzz
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_SECONDS ?= 600
CHECKED = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
          -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
FUZZERS = fuzz_packets fuzz_settings fuzz_picture fuzz_httphead
# The tests that run the server, dispatcher, web and GUI threads together.
TSAN_TESTS = tst_server tst_e2e_load web_remote

.PHONY: all deps build run test package clean fuzz-build fuzz sanitize asan tsan

all: build

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	@if [ -z "$$DISPLAY" ]; then echo "make run: no DISPLAY, using the offscreen platform"; \
	  QT_QPA_PLATFORM=offscreen ./$(BUILD_DIR)/jwshow $(ARGS); \
	else ./$(BUILD_DIR)/jwshow $(ARGS); fi

# The Debian package, $(BUILD_DIR)/jwshow_<version>_<arch>.deb; install it with
# apt-get install ./$(BUILD_DIR)/jwshow_*.deb (packaging/packaging.cmake says what it holds).
package: build
	cmake --build $(BUILD_DIR) --target package

# Without a display the whole suite runs inside one Xvfb server (no window
# manager), which the GUI and end-to-end tests use; unit tests pick the
# offscreen platform themselves.
# The fuzz targets' short pass (corpus plus a few seconds each) runs with them.
# The suite's test "package" packs, installs (apt-get, as root), runs and purges
# the Debian package (tests/package/package-test).
test: build fuzz-build
	@if [ -z "$$DISPLAY" ]; then \
	  xvfb-run -a -s "-screen 0 $(SCREEN) -nolisten tcp" \
	    ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS); \
	else ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS); fi
	ctest --test-dir $(FUZZ_DIR) --output-on-failure -j$(JOBS)

fuzz-build: deps
	cmake -S . -B $(FUZZ_DIR) -DJW_FUZZ=ON $(CHECKED)
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzzers

# FUZZ_SECONDS in all, shared by the targets; the figures of each, then the sum.
fuzz: fuzz-build
	@n=$$(echo $(FUZZERS) | wc -w); each=$$(( $(FUZZ_SECONDS) / n )); total=0; \
	for f in $(FUZZERS); do \
	  line=$$(fuzz/run $(FUZZ_DIR)/fuzz/$$f $$each) || { echo "$$line"; exit 1; }; \
	  echo "$$line"; total=$$(( total + $$(echo "$$line" | sed 's/.*: \([0-9]*\) runs.*/\1/') )); \
	done; echo "fuzz: $$total runs in $$(( each * n )) s, no failure"

# ASan + UBSan over every test, TSan over the threaded ones; a report from any
# process of a run (the program the tests start included) fails it.
sanitize: asan tsan

asan: deps
	cmake -S . -B $(ASAN_DIR) -DJW_SANITIZE=address $(CHECKED)
	cmake --build $(ASAN_DIR) -j$(JOBS)
	scripts/sanitize-run $(ASAN_DIR) address -j$(JOBS)

tsan: deps
	cmake -S . -B $(TSAN_DIR) -DJW_SANITIZE=thread $(CHECKED)
	cmake --build $(TSAN_DIR) -j$(JOBS) --target $(TSAN_TESTS)
	scripts/sanitize-run $(TSAN_DIR) thread -j$(JOBS) -R '^($(shell echo $(TSAN_TESTS) | tr ' ' '|'))$$'

clean:
	rm -rf $(BUILD_DIR) $(FUZZ_DIR) $(ASAN_DIR) $(TSAN_DIR)
