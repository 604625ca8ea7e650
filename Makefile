# The front door: `make run` and `make test`. Each first makes sure the Debian packages are there.
.PHONY: all deps build run test bench screenshot clean

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

bench: build
	@./bench/run.sh

# PNGs of both windows after a search, under Xvfb: build/screenshots/ and build/windows-x64/.
screenshot: build
	@./scripts/screenshot-qt.sh
	@./scripts/build-preset.sh windows-x64 >/dev/null
	@./scripts/screenshot-win32.sh

clean:
	rm -rf build dist
