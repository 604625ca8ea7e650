# The front door: `make run` and `make test`. Each first makes sure the Debian packages are there.
.PHONY: all deps build run test package bench screenshot clean

MAKEFLAGS += --no-print-directory

all: build

deps:
	@./scripts/deps.sh

build: deps
	@./scripts/build-preset.sh linux

run: build
	@./scripts/run.sh

test: deps
	@./scripts/test.sh

# dist/quarvex_<version>_<arch>.deb and dist/Quarvex-<version>-win32.zip (the i686 programs).
package: deps
	@./scripts/build-preset.sh linux >/dev/null
	@./scripts/build-preset.sh windows-x86 >/dev/null
	@./scripts/package.sh deb
	@./scripts/package.sh zip

bench: build
	@./bench/run.sh

# PNGs of both windows after a search, under Xvfb: build/screenshots/ and build/windows-x64/.
screenshot: build
	@./scripts/screenshot-qt.sh
	@./scripts/build-preset.sh windows-x64 >/dev/null
	@./scripts/screenshot-win32.sh

clean:
	rm -rf build dist
