#!/usr/bin/env bash
# Runs every unit test (CTest label "unit") under valgrind memcheck, two at a
# time: an invalid access, a use of uninitialised memory or a definite leak
# fails the test, as does the test failing by itself. Suppressions for known
# harmless reports outside the library are in .ci/memcheck.supp.
# Usage: .ci/memcheck.sh [build-dir]   (default build/default, built first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
.ci/install-deps.sh memcheck
[ -f "$build/CMakeCache.txt" ] || cmake --preset default >/dev/null
cmake --build "$build" -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ctest --test-dir "$build" -L unit --show-only=json-v1 >"$work/tests.json"

python3 - "$work" .ci/memcheck.supp <<'EOF'
import concurrent.futures, glob, json, os, subprocess, sys, time

work, suppressions = sys.argv[1], os.path.abspath(sys.argv[2])
tests = json.load(open(os.path.join(work, "tests.json")))["tests"]

def run(test):
    command = test.get("command") or []
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    if not command or os.path.basename(command[0]) in ("sh", "bash"):
        return test["name"], "skipped", ""  # scripts, not programs of ours
    env = dict(os.environ)
    for item in props.get("ENVIRONMENT", []):
        key, _, value = item.partition("=")
        env[key] = value
    log = os.path.join(work, test["name"].replace("/", "_") + ".%p.log")
    valgrind = ["valgrind", "--tool=memcheck", "--error-exitcode=97", "--leak-check=full",
                "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                "--num-callers=30", "--suppressions=" + suppressions, "--log-file=" + log]
    try:
        done = subprocess.run(valgrind + command, cwd=props.get("WORKING_DIRECTORY"), env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        status = "passed" if done.returncode == 0 else "failed (exit %d)" % done.returncode
        output = done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        status, output = "failed (timeout)", ""
    reports = ""
    for path in sorted(glob.glob(log.replace("%p", "*"))):
        text = open(path, errors="replace").read()
        # A child that went on to exec another program leaves a log without a summary.
        if "ERROR SUMMARY:" in text and "ERROR SUMMARY: 0 errors" not in text:
            reports += text
    if reports and status == "passed":
        status = "failed (memcheck)"
    return test["name"], status, output[-4000:] + reports

start = time.time()
passed = failed = 0
with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
    for name, status, details in pool.map(run, tests):
        if status == "skipped":
            continue
        if status == "passed":
            passed += 1
        else:
            failed += 1
            print("-- %s: %s\n%s" % (name, status, details))
print("memcheck: %d tests in %d s" % (passed + failed, time.time() - start))
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
EOF
