#!/usr/bin/env bash
# Opens the demo application: bash demo/run.sh <build folder>
# The program looks for its hook scripts in the current working folder, so it
# is started from this folder.
set -euo pipefail
demo=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-build}
program=$(cd "$build" 2>/dev/null && pwd)/vantrel
if [ ! -x "$program" ]; then
  echo "demo: $build/vantrel was not found; build it first (make build)." >&2
  exit 1
fi
if ! command -v php-cgi >/dev/null 2>&1; then
  echo "demo: php-cgi is not installed; the PHP pages will fail (make setup installs it)." >&2
fi
cd "$demo"
echo "demo: the site is served on http://127.0.0.1:8080/ while the window is open."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "demo: there is no display (DISPLAY is not set) and xvfb-run is not installed." >&2
    echo "demo: run it from a desktop session, or install xvfb (make setup)." >&2
    exit 1
  fi
  echo "demo: there is no display (DISPLAY is not set): running inside Xvfb, a virtual X server."
  echo "demo: the window is invisible there; the server still answers, e.g."
  echo "demo:   curl http://127.0.0.1:8080/hello.php"
  echo "demo: press Ctrl+C to end it."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$program"
fi
exec "$program"
