# Shared set-up of the index benchmark scripts, sourced after they set root, build, dir, sets and
# py: installs the peer and the dataset when missing, builds FAISS with AVX2 when missing,
# configures and builds the given targets, makes the data, and defines wait_for_quiet and run.
# bench_wait is how long wait_for_quiet may wait, in seconds.

bench_prepare() {
  local missing=()
  "$py" -c 'import faiss, numpy' 2>/dev/null || missing+=(python3-faiss python3-numpy)
  [ -f /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz ] || missing+=(dataset-fashion-mnist)
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y --no-install-recommends "${missing[@]}" ||
      { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
  fi
  bash "$root/bench/faiss/build_faiss_avx2.sh"
  # Configured again every time: a build directory configured before bench/index/ existed lacks it.
  if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" >/dev/null
  else
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
  fi
  cmake --build "$build" -j4 --target "$@"
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  "$py" "$root/bench/index/make_data.py" "$dir" $sets
}

# Parallel figures taken while other processes hold cores measure the machine: waits until an
# empty OpenMP region on $1 threads costs under 100 us, or bench_wait seconds have passed.
wait_for_quiet() {
  [ "$1" -gt 1 ] || return 0
  local waited=0 us
  while us="$("$build/bench/index/index_bench" --region-us "$1")" &&
    awk -v us="$us" 'BEGIN { exit !(us >= 100) }' && [ "$waited" -lt "$bench_wait" ]; do
    sleep 5
    waited=$((waited + 5))
  done
  echo "[quiet? one region on $1 threads: $us us after waiting ${waited}s]" >&2
}

# Every side sees the same BLAS settings: the core-type overrides some machines set slow it down.
run() { env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$@"; }
