# make demo: set up from a fresh machine, build, run the example.
# make test: the same set-up, then the whole test suite.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PYENV_313 := $(shell pyenv prefix 3.13.0 2>/dev/null)
BASE_PY := $(if $(PYENV_313),$(PYENV_313)/bin/python3,python3)
SYS_HEADERS := /usr/include/eigen3/Eigen/Dense /usr/include/boost/math/distributions/students_t.hpp /usr/include/fftw3.h
SOURCES := $(shell find src python -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: demo test bench sysdeps clean format

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: $(VENV)/.installed $(VENV)/.test-deps
	$(PY) -m pytest

# Every family by default (tens of minutes); FAMILY=matrix runs one.
bench: $(VENV)/.installed $(VENV)/.test-deps
	$(PY) bench/run.py $(FAMILY)

sysdeps:
	@missing=0; for h in $(SYS_HEADERS); do [ -e $$h ] || missing=1; done; \
	if [ $$missing = 1 ]; then \
	  echo "installing system packages"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq \
	    g++ make libeigen3-dev libboost-math-dev libfftw3-dev; \
	fi

# The build tools (the package is built without isolation, into the persistent
# build tree); the package itself brings NumPy, all the demo needs.
BUILD_DEPS := "scikit-build-core>=0.10" "cmake>=3.18" ninja
# In CI (CI=true) a compiler warning fails the build.
WERROR := $(if $(filter true,$(CI)),-C cmake.define.MS_WERROR=ON)
$(VENV)/.deps: pyproject.toml | sysdeps
	[ -x $(PY) ] || $(BASE_PY) -m venv $(VENV)
	$(PY) -m pip install -q $(BUILD_DEPS)
	touch $@

# The peers the tests and benchmarks compare against, and pytest: the test
# extra of pyproject.toml, installed without building the package again.
$(VENV)/.test-deps: pyproject.toml | $(VENV)/.deps
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))' > $(VENV)/test-requirements.txt
	$(PY) -m pip install -q -r $(VENV)/test-requirements.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES) | sysdeps
	$(PY) -m pip install -q --no-build-isolation $(WERROR) .
	touch $@

clean:
	rm -rf build $(VENV)

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole suite run against it (the sanitizer runtime preloaded into the
# interpreter; leak reports off, the interpreter keeps its own allocations).
SAN_SITE := build/san-site
SAN_ENV := PYTHONPATH=$(SAN_SITE) PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: sanitize
sanitize: $(VENV)/.test-deps
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SAN_SITE) \
	  -C cmake.define.MS_SANITIZE=ON -C build-dir=build/san -C cmake.build-type=RelWithDebInfo .
	$(SAN_ENV) $(PY) -m pytest -p no:cacheprovider

# Formats the C++ sources with the project's .clang-format.
format:
	@command -v clang-format >/dev/null || { SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang-format; }
	clang-format -i $$(git ls-files 'src/*.hpp' 'src/*.cpp')
