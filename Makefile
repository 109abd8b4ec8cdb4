# Set-up, build and test entry points. Every target installs what is missing
# first, so a fresh Debian 12 machine (as root) needs nothing else.
PKGS := g++ cmake ninja-build make pkg-config libfastjson-dev libestr-dev libpcre2-dev libgtest-dev libbenchmark-dev
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

FUZZ_ENGINES_BUILD ?= build-fuzz-engines
FUZZ_SECONDS ?= 300

.PHONY: all deps build run test asan asan-test bench clean fuzz-engines

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

bench: build
	@for b in $(BUILD)/*_bench; do [ -x "$$b" ] && "$$b"; done; true

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
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_ENGINES_BUILD)
