#!/usr/bin/env bash
# Start-up time of the desktop program: from launch until the first page that
# its own server sent has been rendered, against a bare WebKitGTK window
# (bench/bare_window.cpp) loading the same page from vantrel-httpd.
#
#   bash bench/startup.sh [build folder] [runs]
#
# The page reports "rendered" after two animation frames by requesting an
# image from a small listener here; the time is taken when that request arrives.
set -euo pipefail
bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-$bench/../build}" && pwd)
runs=${2:-7}
out="$bench/out"
mkdir -p "$out"

if [ -z "${DISPLAY:-}" ]; then
  echo "startup: no display, running under Xvfb" >&2
  exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$build" "$runs"
fi

for tool in python3 pkg-config g++; do
  command -v $tool >/dev/null || { echo "startup: $tool is needed" >&2; exit 1; }
done
[ -x "$build/vantrel" ] && [ -x "$build/vantrel-httpd" ] || { echo "startup: build $build first" >&2; exit 1; }

bare="$out/bare_window"
if [ ! -x "$bare" ] || [ "$bench/bare_window.cpp" -nt "$bare" ]; then
  g++ -O2 -o "$bare" "$bench/bare_window.cpp" $(pkg-config --cflags --libs webkit2gtk-4.1)
fi

work=$(mktemp -d /tmp/vantrel-startup-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
beacon_port=$(free_port)
app_port=$(free_port)
httpd_port=$(free_port)

mkdir -p "$work/app/site" "$work/home"
cat > "$work/app/site/page.html" <<HTML
<html><body style="margin:0;background:#0000ff">
<h1 style="color:white">start-up page</h1>
<script>
requestAnimationFrame(function () { requestAnimationFrame(function () {
  new Image().src = 'http://127.0.0.1:$beacon_port/rendered?' + Date.now();
}); });
</script></body></html>
HTML
cat > "$work/app/onInit.lua" <<LUA
SetWebserverPort($app_port)
SetSitesPath("site")
LUA
echo "NavigateTo(\"http://127.0.0.1:$app_port/page.html\")" > "$work/app/onReady.lua"

# Waits for one "rendered" request and prints its arrival time (seconds, float).
beacon() {
  python3 - "$beacon_port" <<'PY'
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(8)
s.settimeout(30)
c, _ = s.accept()
t = time.time()
c.recv(4096)
c.sendall(b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n")
c.close()
print("%.6f" % t)
PY
}

# One measurement: launches the command, prints milliseconds until rendered.
measure() {
  beacon > "$work/t" &
  local b=$!
  sleep 0.2
  local t0
  t0=$(python3 -c 'import time; print("%.6f" % time.time())')
  ( cd "$work/app" && HOME="$work/home" GSETTINGS_BACKEND=memory exec "$@" ) >/dev/null 2>&1 &
  local p=$!
  wait "$b" || true
  kill -TERM "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
  python3 -c "import sys; print(round((float(sys.argv[1]) - float(sys.argv[2])) * 1000))" "$(cat "$work/t")" "$t0"
}

"$build/vantrel-httpd" -p "$httpd_port" -d "$work/app/site" >/dev/null 2>&1 &
pids+=($!)
sleep 0.3

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# One warm-up of each, so disk caches are alike for both.
measure "$bare" "http://127.0.0.1:$httpd_port/page.html" >/dev/null
measure "$build/vantrel" >/dev/null

: > "$work/bare.txt"; : > "$work/vantrel.txt"
for ((i = 0; i < runs; i++)); do
  measure "$bare" "http://127.0.0.1:$httpd_port/page.html" >> "$work/bare.txt"
  measure "$build/vantrel" >> "$work/vantrel.txt"
done
b=$(median < "$work/bare.txt")
v=$(median < "$work/vantrel.txt")
echo "start to first served page rendered, median of $runs runs"
echo "  bare WebKitGTK window: ${b} ms   ($(tr '\n' ' ' < "$work/bare.txt"))"
echo "  vantrel:               ${v} ms   ($(tr '\n' ' ' < "$work/vantrel.txt"))"
echo "  difference:            $((v - b)) ms (target: at most 100 ms)"
