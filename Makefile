# Set-up, build and test entry points. Every target installs what is missing
# first, so a fresh Debian 12 machine (as root) needs nothing else.
PKGS := g++ cmake ninja-build make pkg-config libfastjson-dev libestr-dev libpcre2-dev libgtest-dev libbenchmark-dev libyaml-dev
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_PKGS := clang libclang-rt-14-dev
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DESTDIR ?=

FUZZ_ENGINES_BUILD ?= build-fuzz-engines
FUZZ_SECONDS ?= 300

.PHONY: all deps build run test asan asan-test tsan-test bench fuzz fuzz-engines install clean

all: build

deps:
	@missing=""; for p in $(PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Installs veldra into $(DESTDIR)$(PREFIX)/bin and its manual page into
# $(DESTDIR)$(PREFIX)/share/man/man1.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

run: build
	@./$(BUILD)/veldra check --rulebase examples/linux-syslog.rb --samples examples/samples.log; \
	  status=$$?; echo "veldra check exit status: $$status"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELDRA_SANITIZE=ON -DVELDRA_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

asan-test: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The correlation engine's multi-threaded stress test under ThreadSanitizer,
# built with clang in a tree of its own (not part of `make test`).
tsan-test: deps
	@$(MAKE) --no-print-directory deps PKGS="clang"
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELDRA_BENCH=OFF -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_C_FLAGS=-fsanitize=thread \
	  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target corr_stress_test
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN_BUILD)/corr_stress_test

bench: build
	@for b in $(BUILD)/*_bench; do [ -x "$$b" ] && "$$b"; done; true

# libFuzzer drivers (fuzz/), with the address and undefined-behaviour
# sanitizers, in $(FUZZ_BUILD)/. Not part of `make test`. Run one with e.g.
#   ./build-fuzz/rulebase_fuzz -max_total_time=600 fuzz/corpus/rulebase
fuzz: deps
	@$(MAKE) --no-print-directory deps PKGS="$(FUZZ_PKGS)"
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELDRA_SANITIZE=ON -DVELDRA_FUZZ=ON -DVELDRA_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz

# Differential fuzzer of the walker and VaderAD (clang with libFuzzer): one run
# of FUZZ_SECONDS per rulebase, seeded with that rulebase's sample lines; the
# corpus grows in $(FUZZ_ENGINES_BUILD)/corpus-NAME, findings go to
# $(FUZZ_ENGINES_BUILD)/findings-NAME. Not part of `make test`.
FUZZ_ENGINES_TARGETS := example:examples/linux-syslog.rb:examples/samples.log \
  json:tests/vaderad/fixtures/struct/json.rb:tests/vaderad/fixtures/struct/json.log \
  kv:tests/vaderad/fixtures/struct/kv.rb:tests/vaderad/fixtures/struct/kv.log \
  cef:tests/vaderad/fixtures/struct/cef.rb:tests/vaderad/fixtures/struct/cef.log \
  repeat:tests/vaderad/fixtures/struct/repeat.rb:tests/vaderad/fixtures/struct/repeat.log

fuzz-engines: deps
	@$(MAKE) --no-print-directory deps PKGS="$(FUZZ_PKGS)"
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_ENGINES_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELDRA_FUZZ_ENGINES=ON -DVELDRA_BENCH=OFF
	cmake --build $(FUZZ_ENGINES_BUILD) -j $(JOBS) --target engines_diff_fuzz
	@set -e; for t in $(FUZZ_ENGINES_TARGETS); do \
	  name=$${t%%:*}; rest=$${t#*:}; rb=$${rest%%:*}; seeds=$${rest#*:}; \
	  corpus=$(FUZZ_ENGINES_BUILD)/corpus-$$name; findings=$(FUZZ_ENGINES_BUILD)/findings-$$name; \
	  mkdir -p $$corpus $$findings; \
	  [ -n "$$(ls -A $$corpus)" ] || split -l 1 -a 5 $$seeds $$corpus/seed-; \
	  echo "== $$name ($$rb), $(FUZZ_SECONDS) s"; \
	  VELDRA_FUZZ_RULEBASE=$$rb ./$(FUZZ_ENGINES_BUILD)/engines_diff_fuzz -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=$$findings/ $$corpus; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(FUZZ_ENGINES_BUILD) $(TSAN_BUILD)
