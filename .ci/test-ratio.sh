#!/usr/bin/env bash
# Counts the non-blank, non-comment lines of C, C++, shell and Python sources:
# the tests (tests/ and fuzz/, per area) against the shipped code (library,
# IPC layer, tools, examples, per area), and prints the ratio.
# Usage: .ci/test-ratio.sh [source-tree]   (default: this checkout)
# With RATIO_MAX=N in the environment it fails when tests exceed N% of the code,
# so that the suite stays near a third of the code as work adds to it.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Lines of the files under the given folders that are not blank and not only
# a comment (//, /* ... */ and its * lines in C and C++; # in shell and Python).
count() {
    local files
    files=$(find "$@" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
                                 -o -name '*.sh' -o -name '*.py' \) 2>/dev/null | sort)
    [ -n "$files" ] || { echo 0; return; }
    # shellcheck disable=SC2086  # one file name per word
    awk '
        FNR == 1 { block = 0; script = FILENAME ~ /\.(sh|py)$/ }
        {
            line = $0
            sub(/^[ \t]+/, "", line)
            if (line == "") next
            if (script) { if (line !~ /^#/) n++; next }
            if (block) { if (line ~ /\*\//) { block = 0; sub(/.*\*\//, "", line); sub(/^[ \t]+/, "", line); if (line != "") n++ } next }
            if (line ~ /^\/\//) next
            if (line ~ /^\/\*/) { if (line !~ /\*\//) block = 1; else { sub(/^\/\*.*\*\//, "", line); sub(/^[ \t]+/, "", line); if (line != "") n++ } next }
            n++
        }
        END { print n + 0 }' $files
}

printf '%-28s %6s\n' "tests" "lines"
tests=0
for dir in tests/*/ fuzz; do
    [ -d "$dir" ] || continue
    n=$(count "$dir")
    tests=$((tests + n))
    printf '  %-26s %6d\n' "${dir%/}" "$n"
done
printf '%-28s %6s\n' "code" "lines"
code=0
for dir in common log env client checker mmap include ipc tools examples; do
    [ -d "$dir" ] || continue
    n=$(count "$dir")
    code=$((code + n))
    printf '  %-26s %6d\n' "$dir" "$n"
done
printf '%-28s %6d\n%-28s %6d\n' "tests in all" "$tests" "code in all" "$code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio tests/code: %.0f%%\n", c ? 100 * t / c : 0 }'
if [ -n "${RATIO_MAX:-}" ] && [ $((100 * tests)) -gt $((RATIO_MAX * code)) ]; then
    echo "tests are more than ${RATIO_MAX}% of the code: fold new cases into the tables that exist" >&2
    exit 1
fi
