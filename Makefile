# Vantrel: set-up, build, run and test on Debian 12.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

PACKAGES = g++ cmake make pkg-config googletest libgtest-dev clang libclang-rt-14-dev \
  liblua5.1-0-dev libsqlite3-dev libssl-dev openssl libwebkit2gtk-4.1-dev php-cgi curl xvfb xauth \
  xdotool x11-utils imagemagick libgl1-mesa-dri fonts-dejavu-core locales-all \
  libfcgi-dev libfcgi-bin dbus dpkg-dev lintian desktop-file-utils openbox \
  libjson-glib-dev libayatana-appindicator3-dev xclip

.PHONY: setup build run test test-asan fuzz package clean

# Installs whatever Debian package is missing (needs root or sudo).
setup:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

run: setup build
	@bash demo/run.sh $(BUILD)

test: setup build test-asan fuzz
	cd $(BUILD) && ctest --output-on-failure -j1
	cd $(BUILD) && LC_ALL=de_DE.UTF-8 ctest --output-on-failure -j1 -R 'HttpCore|DateToTime|Listing|Webserver'

# Vantrel as a Debian package: $(BUILD)/vantrel_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/vantrel_*.deb

# The library, the standalone server and the shell logic under ASan and UBSan.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON -DVANTREL_DESKTOP=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j1

# The request-head fuzzer for a bounded time, over the corpus in tests/fuzz/corpus,
# then the FastCGI record reader's and the chunked-body decoder's (over
# tests/fuzz/corpus-chunked) for the same time each.
fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVANTREL_FUZZ=ON -DVANTREL_DESKTOP=OFF -DBUILD_TESTING=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_request_head fuzz_fastcgi_records fuzz_chunked_body
	mkdir -p $(FUZZ_BUILD)/corpus && cp -n tests/fuzz/corpus/* $(FUZZ_BUILD)/corpus/ 2>/dev/null || true
	$(FUZZ_BUILD)/tests/fuzz/fuzz_request_head -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 $(FUZZ_BUILD)/corpus
	mkdir -p $(FUZZ_BUILD)/corpus-fastcgi
	$(FUZZ_BUILD)/tests/fuzz/fuzz_fastcgi_records -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 $(FUZZ_BUILD)/corpus-fastcgi
	mkdir -p $(FUZZ_BUILD)/corpus-chunked && cp -n tests/fuzz/corpus-chunked/* $(FUZZ_BUILD)/corpus-chunked/ 2>/dev/null || true
	$(FUZZ_BUILD)/tests/fuzz/fuzz_chunked_body -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 $(FUZZ_BUILD)/corpus-chunked

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
