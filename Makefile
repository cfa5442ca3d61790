# Everything a fresh machine needs: `make test` installs the packages,
# configures, builds and runs the whole suite; `make run` starts the server.
.PHONY: all deps configure build test run release bench asan tsan fuzz clean format

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake --preset default

build: deps
	@test -f build/default/build.ninja || cmake --preset default
	cmake --build --preset default

test: build
	ctest --preset default

release: deps
	cmake --preset release
	cmake --build --preset release

bench: release
	scripts/run-benchmarks.sh build/release

run: release
	scripts/run-server.sh build/release

asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_tsql_parser
	scripts/run-fuzzers.sh build/fuzz

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
