#!/usr/bin/env bash
# Long fuzzing run of ir.read (atheris, coverage-guided), e.g. before a release:
#
#   bash scripts/fuzz.sh            # one hour
#   bash scripts/fuzz.sh 28800      # eight hours
#   bash scripts/fuzz.sh 600 -jobs=2 -workers=2   # further libFuzzer options pass through
#
# The corpus grows in build/fuzz/corpus (seeded from the writer on the first run) and is kept
# between runs. A finding is written to build/fuzz/ as crash-<hash> (or timeout-/oom-); replay it
# with `python tests/fuzz/fuzz_vx2_read.py build/fuzz/crash-<hash>`, fix the reader, and keep
# the file in tests/fuzz/regressions/ under a name that says what it holds: the test suite
# replays every file there.
#
# `bash scripts/fuzz.sh import [seconds] [seed]` fuzzes import_ir, GraphExecutor and dag_tools
# with hostile in-memory graphs instead (tests/fuzz/fuzz_import_graph.py, niced, one child
# process). Findings are appended to build/fuzz-import/findings.jsonl with the seed and index
# that reproduce them: `python tests/fuzz/fuzz_import_graph.py --seed S --first I --count 1
# --show`; fix the source and keep the case in tests/fuzz/import_graph_findings.py.
set -euo pipefail
cd "$(dirname "$0")/.."

# The exporter (export_ir, VANTLEExporter.export, check_export), seeded rather than coverage-guided:
#
#   bash scripts/fuzz.sh export 3600          # an hour, from a new seed
#   bash scripts/fuzz.sh export 3600 42       # an hour from seed 42 (input i is always the same)
#
# The counts are printed and kept in build/fuzz/export-<seed>.json; replay a finding with
# `python tests/fuzz/fuzz_export.py --seed S --start I --count 1 --verbose`, fix it, and keep it
# as a case in tests/fuzz/test_fuzz_export.py.
case "${1:-}" in
  import)
    mkdir -p build/fuzz-import
    exec nice -n 10 .venv/bin/python tests/fuzz/fuzz_import_graph.py --count 0 \
      --seconds "${2:-3600}" --seed "${3:-$RANDOM}" --progress 10000 \
      --findings build/fuzz-import/findings.jsonl
    ;;
  export)
    seed="${3:-$(date +%s)}"
    mkdir -p build/fuzz
    echo "export fuzzing, seed $seed"
    exec nice -n 10 .venv/bin/python tests/fuzz/fuzz_export.py --seed "$seed" \
      --seconds "${2:-3600}" --report "build/fuzz/export-$seed.json"
    ;;
esac

seconds="${1:-3600}"
shift || true
.venv/bin/python -c "import atheris" 2>/dev/null || .venv/bin/python -m pip install --quiet atheris
mkdir -p build/fuzz/corpus
# Inputs become files in memory-backed storage: the reader flushes nothing, the writer a lot.
scratch="$(mktemp -d -p /dev/shm vx2-fuzz-XXXXXX 2>/dev/null || mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
VX2_FUZZ_SCRATCH="$scratch" .venv/bin/python tests/fuzz/fuzz_vx2_read.py \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$@" build/fuzz/corpus
