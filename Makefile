# Fresh Debian 12 machine, as root: `make demo` runs the main job, `make test` passes the tests.
# Both install what they need first (scripts/setup-deps) and build out of tree under build/.

BUILD := build
CMAKE_CROSS := -G Ninja -DCMAKE_BUILD_TYPE=Release
# i686 is the product; x86_64 its twin. Tests run on both, each under its own Wine prefix.
ARCHS := x86_64 i686
# The test suites: x86_64, and i686 on every route its 32-bit Wine can take here. "i686-qemu" is
# forced through qemu-user (scripts/wine --qemu), the route of machines whose kernel refuses 32-bit
# programs, so that every machine tests it; "i686" runs where the kernel runs them itself. Asked
# once the packages are in (a recipe's variables expand when it runs); `make SUITES=...` chooses.
# The slow emulated suite comes first, so that `make -j2` runs the others beside it.
route = $(shell PELLAMOR_ARCH=i686 PELLAMOR_WINE_ROUTE=$(1) scripts/wine --route)
SUITES = $(strip $(if $(filter native,$(call route,auto)),$(if $(filter none,$(call route,qemu)),,i686-qemu) x86_64 i686,i686-qemu x86_64))
suite-env = PELLAMOR_ARCH=$(patsubst %-qemu,%,$(1)) PELLAMOR_WINE_ROUTE=$(if $(filter %-qemu,$(1)),qemu,auto)

PREFIX := /usr/local

.PHONY: all deps emulator promtool winhttp sign build prefix test unit-tests service-tests e2e-tests $(ARCHS:%=e2e-%) e2e-i686-qemu \
	fuzz-tests fuzz demo bench clean install deb

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
# run 32-bit programs itself, and the tests take that route everywhere: only they fetch it, not a build.
emulator: deps
	scripts/setup-deps --emulator

prefix: deps emulator
	$(foreach suite,$(SUITES),$(call suite-env,$(suite)) scripts/wine-prefix &&) true

# promtool, which the service's tests check /metrics with, from Debian's prometheus package.
promtool: deps
	scripts/setup-deps --promtool

# Wine's winhttp.dll with default-credential autologon, which the domain logon scenario loads in its
# own prefixes (tests/winhttp/build; built once, kept in build/winhttp-patched).
winhttp: deps
	tests/winhttp/build

# -k: a failure in one build does not hide the other build's results.
test: build emulator promtool winhttp
	@echo "test suites: $(SUITES)"
	$(MAKE) -k --no-print-directory SUITES="$(SUITES)" prefix unit-tests service-tests e2e-tests fuzz-tests

# A Wine server left running (-p) by an earlier run would keep the services that the tests
# start, and with them ctest's output pipe, open for ever: each run starts with none.
unit-tests:
	status=0; $(foreach suite,$(SUITES),export $(call suite-env,$(suite)); \
	    scripts/wine --server -k 2>/dev/null; scripts/wine --server -w; \
	    ctest --test-dir $(BUILD)/$(patsubst %-qemu,%,$(suite)) --output-on-failure || status=1;) exit $$status

# Two at a time: the scenarios wait on their peers (the domain controller, Squid) more than on the processor.
service-tests:
	ctest --test-dir $(BUILD)/service --output-on-failure -j2

# The builds' suites run side by side (own prefixes, services and namespaces), each one's output kept together.
e2e-tests:
	$(MAKE) -j2 -O --no-print-directory $(SUITES:%=e2e-%)

$(ARCHS:%=e2e-%) e2e-i686-qemu: e2e-%:
	# Output files of background programs are left to the garbage collector on purpose.
	export $(call suite-env,$*); cd tests/e2e && python3 -W ignore::ResourceWarning -m unittest -v; \
	    status=$$?; ../../scripts/wine --server -k 2>/dev/null; exit $$status

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

# Each prepares the prefixes it uses.
demo: build emulator winhttp
	scripts/demo

bench: build emulator
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
