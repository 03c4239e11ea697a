# The two entry points of the project; both install what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
SCREEN ?= 1920x1080x24

.PHONY: all deps build run test clean

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

# Without a display the whole suite runs inside one Xvfb server (no window
# manager), which the GUI and end-to-end tests use; unit tests pick the
# offscreen platform themselves.
test: build
	@if [ -z "$$DISPLAY" ]; then \
	  xvfb-run -a -s "-screen 0 $(SCREEN) -nolisten tcp" \
	    ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS); \
	else ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS); fi

clean:
	rm -rf $(BUILD_DIR)
