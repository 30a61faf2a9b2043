# Sourced by bench/run and bench/profile, from the top of the tree: their
# options, the Release build with symbols, where results go, and the IPC
# namespace they run in. The variables set here are the callers'.
# shellcheck shell=bash disable=SC2034

build="build-bench"
save=0
force=0

# Takes the options both scripts share; the script's own usage text is in
# $usage. Anything else is refused.
parse_bench_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --save) save=1 ;;
      --force) force=1 ;;
      -h | --help) echo "${usage:?}"; exit 0 ;;
      *) echo "${usage:?}" >&2; exit 2 ;;
    esac
    shift
  done
}

# Every run writes its results into the build folder; the committed ones in
# bench/results change only when asked (--save): a run on a busy machine
# must not replace the figures of a quiet one.
results=$build/results

save_results() {
  [ "$save" -eq 1 ] || return 0
  mkdir -p bench/results
  cp "$@" bench/results/
  echo "saved: $* to bench/results" >&2
}

# The tool is configured too (bench/monitor runs it); each script builds
# only the targets it runs.
configure_bench() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DHAC_BUILD_BENCH=ON \
    -DHAC_BUILD_TESTS=OFF -DHAC_BUILD_TOOLS=ON >/dev/null
}

# The HAC queue keys are fixed. As root the benchmark runs in an IPC
# namespace of its own, so that nothing else on the machine meets its
# queues (they vanish with the namespace): on a board where a browser and an
# application manager run, their queues stay untouched. Without root it
# refuses while HAC queues exist, since it would take their messages and
# remove the queues, unless --force says to go ahead. Sets isolate, the
# prefix of every command that uses the queues.
choose_isolation() {
  local name=$1
  isolate=()
  if [ "$(id -u)" -eq 0 ] && unshare --ipc true 2>/dev/null; then
    isolate=(unshare --ipc --)
  elif ipcs -q | grep -qiE '0x9210107[123]'; then
    if [ "$force" -eq 0 ]; then
      echo "$name: HAC queues exist on this machine (a browser or application manager may be using them);" \
        "run as root for a private IPC namespace, or pass --force to use and remove them" >&2
      exit 1
    fi
    echo "$name: --force: using the machine's HAC queues" >&2
  fi
}
