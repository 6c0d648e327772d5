# Kestrelmail: the two entry points of the README, `make run` and `make test`.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 15
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST_JOBS ?= 2

.PHONY: all build run test style-check sanitize-test fuzz-test bench clean format

all: build

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

# Build the program alone (no tests, no fuzzers), then run it in the foreground with
# the per-user data directory.
run:
	@sh scripts/install-deps.sh build
	$(MAKE) $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) --target kestrelmail kestrel_resources
	./$(BUILD_DIR)/kestrelmail

# Build, then check the formatting and the naming convention, run the whole
# suite, the whole suite again with the program and the tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of each fuzzer.
test:
	@sh scripts/install-deps.sh test
	$(MAKE) build
	$(MAKE) style-check
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(CTEST_JOBS)
	$(MAKE) sanitize-test
	$(MAKE) fuzz-test

# clang-format and the .clang-tidy naming check over the sources the build compiled.
style-check: $(BUILD_DIR)/build.ninja
	sh scripts/check-style.sh $(BUILD_DIR)

sanitize-test:
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON
	cmake --build $(SANITIZE_DIR)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(CTEST_JOBS)

fuzz-test:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_FUZZ=ON
	cmake --build $(FUZZ_DIR)
	sh scripts/check-style.sh $(FUZZ_DIR) fuzz
	sh scripts/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

bench:
	@sh scripts/install-deps.sh bench
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) -DKESTREL_BENCH=ON
	cmake --build $(BUILD_DIR)
	cd $(BUILD_DIR) && for b in bench/*_bench; do [ -x "$$b" ] && "$$b" || exit 1; done
	/usr/bin/python3 bench/pop3_bench.py $(BUILD_DIR)
	/usr/bin/python3 bench/imap4_bench.py $(BUILD_DIR)
	/usr/bin/python3 bench/smtp_bench.py $(BUILD_DIR)
	/usr/bin/python3 bench/isolation_bench.py $(BUILD_DIR)
	/usr/bin/python3 bench/web_bench.py $(BUILD_DIR)

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
