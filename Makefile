# Fresh Debian 12 machine, as root: `make demo` runs the main job, `make test` passes the tests.
# Both install what they need first (scripts/setup-deps) and build out of tree under build/.

BUILD := build
CMAKE_CROSS := -G Ninja -DCMAKE_BUILD_TYPE=Release
# i686 is the product; x86_64 its twin. Tests run on both, each under its own Wine prefix.
ARCHS := x86_64 i686

PREFIX := /usr/local

.PHONY: all deps emulator sign build prefix test unit-tests service-tests e2e-tests $(ARCHS:%=e2e-%) fuzz-tests fuzz demo bench clean install deb

all: build

deps:
	scripts/setup-deps

# The unit tests and test tools are targets of their own beside the agent: the product stays as it is.
build: deps
	for arch in $(ARCHS); do \
	    cmake -S . -B $(BUILD)/$$arch $(CMAKE_CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$$arch.cmake \
	        -DPELLAMOR_TESTS=ON && cmake --build $(BUILD)/$$arch || exit 1; \
	done
	cmake -S service -B $(BUILD)/service -G Ninja
	cmake --build $(BUILD)/service

# The 32-bit Wine of the tests, demo and benchmark runs under qemu-user where this kernel cannot
# run 32-bit programs itself: only they fetch it, not a build.
emulator: deps
	scripts/setup-deps --emulator

prefix: deps emulator
	for arch in $(ARCHS); do PELLAMOR_ARCH=$$arch scripts/wine-prefix || exit 1; done

# -k: a failure in one build does not hide the other build's results.
test: build prefix
	$(MAKE) -k --no-print-directory unit-tests service-tests e2e-tests fuzz-tests

# A Wine server left running (-p) by an earlier run would keep the services that the tests
# start, and with them ctest's output pipe, open for ever: each run starts with none.
unit-tests:
	status=0; for arch in $(ARCHS); do \
	    PELLAMOR_ARCH=$$arch scripts/wine --server -k 2>/dev/null; PELLAMOR_ARCH=$$arch scripts/wine --server -w; \
	    ctest --test-dir $(BUILD)/$$arch --output-on-failure || status=1; \
	done; exit $$status

service-tests:
	ctest --test-dir $(BUILD)/service --output-on-failure

# The builds' suites run side by side (own prefixes, services and namespaces), each one's output kept together.
e2e-tests:
	$(MAKE) -j2 -O --no-print-directory $(ARCHS:%=e2e-%)

$(ARCHS:%=e2e-%): e2e-%:
	# Output files of background programs are left to the garbage collector on purpose.
	cd tests/e2e && PELLAMOR_ARCH=$* python3 -W ignore::ResourceWarning -m unittest -v; \
	    status=$$?; PELLAMOR_ARCH=$* ../../scripts/wine --server -k 2>/dev/null; exit $$status

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

# The same as a Debian package, build/service/pellamor-service_<version>_<arch>.deb;
# MAINTAINER='Name <address>' names the site that builds it.
deb:
	cmake -S service -B $(BUILD)/service -G Ninja $(if $(MAINTAINER),"-DPELLAMOR_MAINTAINER=$(MAINTAINER)")
	cmake --build $(BUILD)/service
	cd $(BUILD)/service && cpack -G DEB

# Signs both agent builds with the site's code-signing certificate into build/signed/ARCH/Pellamor.exe:
# make sign SIGN_CERT=cert.pem SIGN_KEY=key.pem (or SIGN_PKCS12=site.pfx) [SIGN_PASS=password-file]
# [SIGN_TIMESTAMP=http://time-stamping-service]
sign: build
	scripts/sign $(if $(SIGN_PKCS12),--pkcs12 "$(SIGN_PKCS12)",--cert "$(SIGN_CERT)" --key "$(SIGN_KEY)") \
	    $(if $(SIGN_PASS),--pass "$(SIGN_PASS)") $(if $(SIGN_TIMESTAMP),--timestamp "$(SIGN_TIMESTAMP)") $(ARCHS)

clean:
	rm -rf $(BUILD)
