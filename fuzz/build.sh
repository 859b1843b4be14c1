#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, address and undefined-behaviour
# sanitizers:  fuzz/build.sh [OUTPUT_FOLDER]   (default: build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-fuzz}
cxx=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}
mkdir -p "$out"

flags=(-std=c++17 -g -O1 -Wall -Wextra -ffp-contract=off -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Ilib -Isrc -Isrc/phases -Iinclude)
core=(lib/nrutil.cpp src/state.cpp src/console.cpp src/niveaux.cpp src/files.cpp src/phases/arithmetique.cpp src/phases/plages.cpp src/phases/interpolation.cpp src/phases/dilatation.cpp src/phases/moyenne.cpp src/phases/lissage.cpp src/phases/noyaux_x86.cpp)

# The pipeline target checks every phase against the plain phases kept with the tests.
"$cxx" "${flags[@]}" -Itests/reference "${core[@]}" tests/reference/phases_reference.cpp fuzz/fuzz_pipeline.cpp \
    -o "$out/fuzz_pipeline"
# The dialog ends the run with exit(1) on bad input; the target catches that.
"$cxx" "${flags[@]}" "${core[@]}" fuzz/fuzz_dialogue.cpp -Wl,--wrap=exit -o "$out/fuzz_dialogue"
echo "fuzz targets in $out: fuzz_pipeline fuzz_dialogue"
