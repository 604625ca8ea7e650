# The front door: `make run` and `make test`. Each first makes sure the Debian packages are there.
.PHONY: all deps build run test bench screenshot clean

JOBS := $(shell nproc)

all: build

deps:
	@./scripts/deps.sh

build: deps
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux -j $(JOBS)

run: build
	@./scripts/run.sh

test: deps
	@./scripts/test.sh

bench: build
	@./bench/run.sh

clean:
	rm -rf build dist
