#!/usr/bin/env bash
# Builds FAISS 1.7.3 from Debian's source package with its AVX2 kernels (FAISS_OPT_LEVEL=avx2,
# OpenBLAS) and its Python bindings for /usr/bin/python3 into .deps/faiss-avx2, the peer the
# benchmarks measure beside Debian's generic python3-faiss. Only the benchmarks use it.
# Idempotent: a second run only checks. Never touches the system's apt configuration: the source
# comes through a private sources list, lists and cache, as scripts/install-deps does for hiredis.
# Use: PYTHONPATH=.deps/faiss-avx2/python /usr/bin/python3 -c 'import faiss'
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix="$here/.deps/faiss-avx2"
version=1.7.3-2
stamp="$prefix/.built-$version"
py=/usr/bin/python3

[ -f "$stamp" ] && { echo "build_faiss_avx2: ready in $prefix"; exit 0; }

grep -qw avx2 /proc/cpuinfo || { echo "build_faiss_avx2: this processor has no AVX2" >&2; exit 1; }

packages=(build-essential cmake dpkg-dev swig libopenblas-dev python3-dev python3-numpy python3-setuptools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build_faiss_avx2: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; }
fi

echo "build_faiss_avx2: building faiss $version with AVX2 into $prefix"
work="$here/.deps/faiss-avx2-build"
rm -rf "$work"; mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
uri=$(grep -hoE '^URIs: *\S+' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -n1 || true)
[ -n "$uri" ] || uri=$(grep -hoE '^deb +\S+' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n1 || true)
[ -n "$uri" ] || { echo "build_faiss_avx2: no Debian archive address in the apt sources" >&2; exit 1; }
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main" >"$work/sources.list"
opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${opts[@]}" -q update
(cd "$work" && apt-get "${opts[@]}" -q source --download-only "faiss=$version")
sha256sum -c - <<SUMS
432937bbdfc7e14783685762e360b68f9ab74f1599319697d756b27585e83dbd  $work/faiss_$version.dsc
3e4fac26d8c9e9008ecea4ae5fc414c658998fce4ba75835058b1a71d3516002  $work/faiss_1.7.3.orig.tar.gz
a351977533afa5575b21de74a58cacb66d846006b1ef971bed85e01e66eb7f94  $work/faiss_$version.debian.tar.xz
SUMS
# Unpacks with Debian's patches applied: the same source as python3-faiss, built for this processor.
dpkg-source -x "$work/faiss_$version.dsc" "$work/src" >/dev/null

# The library is linked into the extension module statically, so the module needs nothing from
# .deps at run time; only the AVX2 variant is built, so a failed load cannot fall back unnoticed.
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DFAISS_OPT_LEVEL=avx2 -DFAISS_ENABLE_GPU=OFF -DFAISS_ENABLE_PYTHON=ON -DFAISS_ENABLE_C_API=OFF \
  -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DBLA_VENDOR=OpenBLAS -DPython_EXECUTABLE="$py" >"$work/configure.log"
cmake --build "$work/build" -j"$(nproc)" --target swigfaiss_avx2 >"$work/build.log" ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }
(cd "$work/build/faiss/python" && "$py" setup.py build >/dev/null)

rm -rf "$prefix"; mkdir -p "$prefix/python"
cp -r "$work/build/faiss/python/faiss" "$prefix/python/faiss"
PYTHONPATH="$prefix/python" "$py" -c '
import sys, faiss
assert "faiss.swigfaiss_avx2" in sys.modules, "the AVX2 module did not load"
print("build_faiss_avx2: loaded faiss", faiss.__version__, "from", faiss.__file__)'
touch "$stamp"
rm -rf "$work"
echo "build_faiss_avx2: ready in $prefix"
