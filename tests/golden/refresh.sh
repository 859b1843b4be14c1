#!/usr/bin/env bash
# Writes the expected output of golden cases anew from the built program:
#
#   tests/golden/refresh.sh BUILD_FOLDER [CASE...]     (default: every case)
#
# Each case runs in a temporary folder with its images/ and its answers, through
# the dialog (BUILD/tolvane) and through the same dialog with the plain phases
# (BUILD/reference/tolvane_reference_run); the two must leave the same transcript
# and files. expected/ then receives the transcript and every file the run
# created, and the line "Expected output: ..." of the case's README names the
# commit. Review the change with git diff before committing it.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
cd "$(dirname "$0")"
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=($(for d in */; do [ -f "$d/answers" ] && echo "${d%/}"; done))
commit=$(git rev-parse --short HEAD)
git diff --quiet HEAD -- ../../src ../../lib || commit="$commit with uncommitted changes"

run() { # PROGRAM CASE FOLDER
  mkdir -p "$3"
  cp -rL "$2/images" "$3/"
  (cd "$3" && "$1" < "$OLDPWD/$2/answers" > transcript 2> errors; echo $? > status)
}

for c in "${cases[@]}"; do
  tmp=$(mktemp -d)
  run "$build/tolvane" "$c" "$tmp/fast"
  run "$build/reference/tolvane_reference_run" "$c" "$tmp/plain"
  if ! diff -r "$tmp/fast" "$tmp/plain" > /dev/null; then
    echo "$c: the fast and the plain phases differ:" >&2
    diff -r "$tmp/fast" "$tmp/plain" >&2 || true
    exit 1
  fi
  if [ "$(cat "$tmp/fast/status")" != 0 ] || [ -s "$tmp/fast/errors" ]; then
    echo "$c: the run failed (status $(cat "$tmp/fast/status"))" >&2
    cat "$tmp/fast/errors" >&2
    exit 1
  fi
  rm -rf "$c/expected"
  mkdir -p "$c/expected"
  cp "$tmp/fast/transcript" "$c/expected/transcript"
  (cd "$tmp/fast" && find images -type f) | sort | while read -r f; do
    [ -e "$c/$f" ] && continue # an input
    mkdir -p "$c/expected/$(dirname "$f")"
    cp "$tmp/fast/$f" "$c/expected/$f"
  done
  if [ -f "$c/README" ]; then
    sed -i "s/^Expected output: .*/Expected output: the program at commit $commit, identical with the plain phases./" "$c/README"
  fi
  rm -rf "$tmp"
  echo "$c: $(find "$c/expected" -type f | wc -l) expected files"
done
