#!/bin/sh
# Compares the dynamic symbols that a shared library defines with the list it
# is expected to export, and prints the difference on failure.
# Usage: check_abi.sh <nm> <library> <expected-list>
set -eu
nm_tool=$1 lib=$2 expected=$3
actual=$(mktemp) wanted=$(mktemp)
trap 'rm -f "$actual" "$wanted"' EXIT
# Demangled names only: the type letter of a symbol (V or D for a vtable, say)
# differs between compilers without changing the interface.
"$nm_tool" -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //' | LC_ALL=C sort -u >"$actual"
grep -v -E '^(#|$)' "$expected" | LC_ALL=C sort -u >"$wanted"
if ! diff -u "$wanted" "$actual"; then
    echo "exported symbols of $lib differ from $expected ('-' missing, '+' unexpected)" >&2
    exit 1
fi
echo "$(wc -l <"$actual") exported symbols as expected"
