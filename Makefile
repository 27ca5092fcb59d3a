# Fresh Debian 12 machine, as root: `make demo` runs the main job, `make test` passes the tests.
# Both install what they need first (scripts/setup-deps) and build out of tree under build/.

BUILD := build
CMAKE_CROSS := -G Ninja -DCMAKE_BUILD_TYPE=Release
WINESERVER := WINEPREFIX=$(CURDIR)/$(BUILD)/wineprefix /usr/lib/wine/wineserver

PREFIX := /usr/local

.PHONY: all deps build prefix test unit-tests service-tests e2e-tests fuzz-tests fuzz demo bench clean install deb

all: build

deps:
	scripts/setup-deps

build: deps
	cmake -S . -B $(BUILD)/i686 $(CMAKE_CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake
	cmake --build $(BUILD)/i686
	cmake -S . -B $(BUILD)/x86_64 $(CMAKE_CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DPELLAMOR_TESTS=ON
	cmake --build $(BUILD)/x86_64
	cmake -S service -B $(BUILD)/service -G Ninja
	cmake --build $(BUILD)/service

prefix: deps
	scripts/wine-prefix

test: build prefix
	$(MAKE) --no-print-directory unit-tests service-tests e2e-tests fuzz-tests

unit-tests:
	ctest --test-dir $(BUILD)/x86_64 --output-on-failure

service-tests:
	ctest --test-dir $(BUILD)/service --output-on-failure

e2e-tests:
	# Output files of background programs are left to the garbage collector on purpose.
	cd tests/e2e && python3 -W ignore::ResourceWarning -m unittest -v; status=$$?; $(WINESERVER) -k 2>/dev/null; exit $$status

# The pure pieces under the sanitizers and libFuzzer, natively: a bounded run from the seeds
# with `make test`, FUZZ_SECONDS of fuzzing for each target with `make fuzz`. Any finding fails.
FUZZ_RUNS := 20000
FUZZ_SECONDS := 60
fuzz-run = CXX=clang++ cmake -S tests/fuzz -B $(BUILD)/fuzz -G Ninja -DFUZZ_LIMIT=$(1) && \
	cmake --build $(BUILD)/fuzz && ctest --test-dir $(BUILD)/fuzz --output-on-failure --timeout 0

fuzz-tests: deps
	$(call fuzz-run,-runs=$(FUZZ_RUNS))

fuzz: deps
	$(call fuzz-run,-max_total_time=$(FUZZ_SECONDS))

demo: build prefix
	scripts/demo

bench: build prefix
	scripts/bench

# The service, its Squid helper and systemd unit: `make install DESTDIR=/scratch PREFIX=/usr`.
install:
	cmake -S service -B $(BUILD)/service -G Ninja
	cmake --build $(BUILD)/service
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)/service --prefix $(PREFIX)

# The same as a Debian package, build/service/pellamor-service_<version>_<arch>.deb.
deb:
	cmake -S service -B $(BUILD)/service -G Ninja
	cmake --build $(BUILD)/service
	cd $(BUILD)/service && cpack -G DEB

clean:
	rm -rf $(BUILD)
