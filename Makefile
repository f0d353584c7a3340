# The two commands of the README (demo, test) plus developer targets.
PY := .venv/bin/python
CMAKE := .venv/bin/cmake
JOBS ?= 2
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 180

.PHONY: setup demo test test-cpp test-python sanitize fuzz bench format clean

setup:
	@bash scripts/setup.sh

demo: setup
	$(PY) examples/quickstart.py

test: setup test-cpp test-python

test-cpp:
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_PYTHON=OFF >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ../../.venv/bin/ctest --output-on-failure -j $(JOBS)

test-python:
	$(PY) -m pytest tests/python -q

ASAN_PY = ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  PYTHONPATH=$(ASAN_BUILD) PYTHONMALLOC=malloc $(PY)

# C++ tests and the Python tests (plus the binding stress script) against an instrumented
# extension. The interpreter itself is not instrumented, so libasan is preloaded and leak
# reports (the interpreter keeps many objects alive at exit by design) are switched off for
# the Python half.
sanitize: setup
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=ON \
	  -DVELMORA_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ../../.venv/bin/ctest --output-on-failure -j $(JOBS)
	$(ASAN_PY) -m pytest tests/python -q -p no:cacheprovider
	$(ASAN_PY) tests/stress/binding_stress.py

# libFuzzer on the JSON reader for FUZZ_SECONDS seconds (not part of `make test`). Needs clang
# and its runtime, installed here when missing; the corpus grows in fuzz-corpus/.
fuzz: setup
	@missing=""; for p in clang libclang-rt-14-dev; do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "fuzz: installing$$missing"; SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi
	$(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON \
	  -DVELMORA_BUILD_PYTHON=OFF >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) --target fuzz_json
	mkdir -p fuzz-corpus/json
	$(FUZZ_BUILD)/fuzz_json -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  -dict=tests/fuzz/json.dict fuzz-corpus/json tests/fuzz/json_seeds

bench: setup
	@for f in bench/bench_*.py; do echo "== $$f"; $(PY) $$f || exit 1; done
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
	  -DVELMORA_BUILD_BENCH=ON -DVELMORA_BUILD_PYTHON=OFF >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	@for f in build/bench/bench_*; do echo "== $$f"; $$f || exit 1; done

format:
	clang-format -i src/*.hpp src/*.cpp src/python/*.hpp src/python/*.cpp tests/cpp/*.cpp

clean:
	rm -rf build
