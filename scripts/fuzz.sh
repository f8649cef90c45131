#!/usr/bin/env bash
# Runs the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer).
#   scripts/fuzz.sh                 every target, 60 s each
#   scripts/fuzz.sh TARGET [SECONDS]
#   scripts/fuzz.sh all SECONDS
#   scripts/fuzz.sh keep TARGET     the seeds and the scratch corpus, minimised with libFuzzer's
#                                   merge, become the kept corpus (at most 300 files)
# Targets: config_load address iosvc_request device_reply engine_response scenario cfg_import.
# New inputs go into a scratch corpus (build/fuzz/corpus/TARGET, seeded from tests/fuzz/TARGET/
# corpus); a crash is saved in tests/fuzz/TARGET/crashes and the script fails. A crash that is
# mended belongs in tests/fuzz/repro/TARGET_<what>, where every build's tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
ALL=(config_load address iosvc_request device_reply engine_response scenario cfg_import)
keep=0
if [ "${1:-}" = keep ]; then
  keep=1
  shift
  [ $# -eq 1 ] || { echo "usage: scripts/fuzz.sh keep TARGET" >&2; exit 2; }
fi
target="${1:-all}"
seconds="${2:-60}"
if [ "$target" = all ]; then targets=("${ALL[@]}"); else targets=("$target"); fi
for t in "${targets[@]}"; do
  [[ " ${ALL[*]} " == *" $t "* ]] || { echo "fuzz: unknown target $t (one of: ${ALL[*]})" >&2; exit 2; }
done

# clang and its libFuzzer runtime, only here: the other builds use gcc.
install() {
  echo "fuzz: installing $*"
  local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}
command -v clang++ >/dev/null || install clang
if ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; then
  install "libclang-rt-$(clang++ --version | sed -n 's/.*version \([0-9]*\).*/\1/p' | head -1)-dev"
fi
scripts/install-deps.sh >/dev/null

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

if [ "$keep" -eq 1 ]; then
  t="${targets[0]}"
  kept="tests/fuzz/$t/corpus"
  fresh="build/fuzz/keep-$t"
  mkdir -p "build/fuzz/corpus/$t"
  merge() {
    rm -rf "$fresh" && mkdir -p "$fresh"
    build/fuzz/bin/fuzz_"$t" -merge=1 -max_len=8192 -timeout=10 -close_fd_mask=2 "$@" "$fresh" \
      "$kept" "build/fuzz/corpus/$t" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
  }
  merge
  n=$(find "$fresh" -type f | wc -l)
  if [ "$n" -gt 300 ]; then
    # Too many: keep one input per edge reached, without the finer hit counts.
    echo "fuzz: $n files; merging again by edges alone"
    merge -use_counters=0
    n=$(find "$fresh" -type f | wc -l)
  fi
  if [ "$n" -gt 300 ]; then
    echo "fuzz: $n files after the merge, more than 300 to keep; fuzz longer or trim by hand" >&2
    exit 1
  fi
  git rm -q -r --cached "$kept" 2>/dev/null || true
  rm -rf "$kept" && mkdir -p "$kept" && cp "$fresh"/* "$kept"/
  echo "fuzz: $kept now holds $n files"
  exit 0
fi

failed=0
for t in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$t"
  crashes="tests/fuzz/$t/crashes"
  mkdir -p "$corpus" "$crashes"
  echo "== fuzz_$t for ${seconds} s"
  set +e
  # -close_fd_mask=2: the targets' own logging stays out of the way; crash reports still show.
  build/fuzz/bin/fuzz_"$t" "$corpus" "tests/fuzz/$t/corpus" \
    -dict="tests/fuzz/$t/$t.dict" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$crashes/" \
    2>&1 | tee "build/fuzz/$t.log" | grep -E "^(#[0-9]+[[:space:]]+(INITED|DONE)|==[0-9]+==ERROR|SUMMARY|stat::|artifact_prefix|Test unit written)"
  rc=${PIPESTATUS[0]}
  set -e
  if [ "$rc" -ne 0 ]; then
    failed=1
    echo "fuzz_$t failed (exit $rc); log in build/fuzz/$t.log, crash files:"
    ls -1 "$crashes"
  fi
done
exit "$failed"
