#!/usr/bin/env bash
# Benchmarks vantrel-httpd against nginx (one worker) and lighttpd on loopback,
# serving the same generated site, and prints one table.
#   bash bench/run.sh [build_dir] [seconds_per_run]
# Every load run is bounded by its duration; all servers are stopped at the end.
set -euo pipefail
BUILD=${1:-build}
SECONDS_PER_RUN=${2:-10}
HERE=$(cd "$(dirname "$0")/.." && pwd)
HTTPD="$HERE/$BUILD/vantrel-httpd"
WORK=$(mktemp -d /tmp/vantrel-bench-XXXXXX)
chmod 755 "$WORK"  # nginx's worker runs as another user and must read the site
PIDS=()

cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

install_tools() {
  local missing=""
  for p in wrk nginx-light lighttpd php-cgi curl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return
  local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  # Keep the packages' own services from starting (they would take port 80).
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod +x /usr/sbin/policy-rc.d
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
  $sudo rm -f /usr/sbin/policy-rc.d
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "server on port $1 did not start" >&2; return 1
}

make_site() {
  mkdir -p "$WORK/site"
  head -c 1024 /dev/urandom > "$WORK/site/1k.bin"
  head -c 102400 /dev/urandom > "$WORK/site/100k.bin"
  head -c 104857600 /dev/urandom > "$WORK/site/100m.bin"
  printf '<?php echo "hello";\n' > "$WORK/site/hello.php"
  # Written pages must not be flushed to disk during the first server's runs.
  sync
  cat "$WORK"/site/* > /dev/null
}

start_vantrel() {
  VANTREL_PORT=$(free_port)
  "$HTTPD" -p "$VANTREL_PORT" -d "$WORK/site" -c .php -C /usr/bin/php-cgi 2>"$WORK/vantrel.err" &
  VANTREL_PID=$!; PIDS+=("$VANTREL_PID")
  wait_port "$VANTREL_PORT"
}

start_nginx() {
  NGINX_PORT=$(free_port)
  mkdir -p "$WORK/nginx"
  cat > "$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/site; }
}
EOF
  nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
  NGINX_PID=$!; PIDS+=("$NGINX_PID")
  wait_port "$NGINX_PORT"
  # The worker is the process that serves; measure it rather than the master.
  sleep 0.2
  NGINX_WORKER=$(pgrep -P "$NGINX_PID" | head -1)
}

start_lighttpd() {
  LIGHTTPD_PORT=$(free_port)
  mkdir -p "$WORK/lighttpd"
  cat > "$WORK/lighttpd/lighttpd.conf" <<EOF
server.document-root = "$WORK/site"
server.port = $LIGHTTPD_PORT
server.bind = "127.0.0.1"
server.pid-file = "$WORK/lighttpd/pid"
server.errorlog = "$WORK/lighttpd/error.log"
server.modules = ("mod_cgi")
cgi.assign = (".php" => "/usr/bin/php-cgi")
server.max-keep-alive-requests = 0
EOF
  lighttpd -D -f "$WORK/lighttpd/lighttpd.conf" &
  LIGHTTPD_PID=$!; PIDS+=("$LIGHTTPD_PID")
  wait_port "$LIGHTTPD_PORT"
}

# Requests per second with a new connection per request; "err" when any reply
# was not a success, so failures never count as speed.
rps() { # port path connections
  local out
  out=$(wrk -t2 -c"$3" -d"${SECONDS_PER_RUN}s" -H "Connection: close" "http://127.0.0.1:$1$2" 2>/dev/null)
  if grep -q "Non-2xx" <<<"$out"; then echo err; return; fi
  awk '/Requests\/sec/ {printf "%.0f", $2}' <<<"$out"
}

# Best of three single downloads, in MB/s.
download() { # port
  local best=0
  for _ in 1 2 3; do
    local bps
    bps=$(curl -s --noproxy '*' -o /dev/null -w '%{speed_download}' "http://127.0.0.1:$1/100m.bin")
    best=$(awk -v a="$best" -v b="$bps" 'BEGIN { print (b > a ? b : a) }')
  done
  awk -v b="$best" 'BEGIN { printf "%.0f", b / 1048576 }'
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Server CPU (% of one core) while one client downloads at 2 MB/s for a few seconds.
slow_client_cpu() { # port pid
  local before after
  before=$(cpu_ticks "$2")
  timeout 5 curl -s --noproxy '*' --limit-rate 2M -o /dev/null "http://127.0.0.1:$1/100m.bin" || true
  after=$(cpu_ticks "$2")
  awk -v t="$((after - before))" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", 100 * t / hz / 5 }'
}

rss_kib() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }

install_tools
[ -x "$HTTPD" ] || { echo "build $HTTPD first (make build)" >&2; exit 1; }
make_site
start_vantrel
start_nginx
start_lighttpd

declare -A R
for name in vantrel nginx lighttpd; do
  case $name in
    vantrel) port=$VANTREL_PORT; pid=$VANTREL_PID ;;
    nginx) port=$NGINX_PORT; pid=$NGINX_WORKER ;;
    lighttpd) port=$LIGHTTPD_PORT; pid=$LIGHTTPD_PID ;;
  esac
  R[$name,1k]=$(rps "$port" /1k.bin 50)
  R[$name,100k]=$(rps "$port" /100k.bin 50)
  R[$name,dl]=$(download "$port")
  R[$name,slow]=$(slow_client_cpu "$port" "$pid")
  R[$name,rss]=$(rss_kib "$pid")
done
R[vantrel,php]=$(rps "$VANTREL_PORT" /hello.php 10)
R[lighttpd,php]=$(rps "$LIGHTTPD_PORT" /hello.php 10)
R[nginx,php]="-"

printf '\n%-34s %12s %12s %12s\n' "measure" "vantrel" "nginx" "lighttpd"
row() { printf '%-34s %12s %12s %12s\n' "$1" "${R[vantrel,$2]}" "${R[nginx,$2]}" "${R[lighttpd,$2]}"; }
row "1 KiB requests/s (50 clients)" 1k
row "100 KiB requests/s (50 clients)" 100k
row "100 MiB download MB/s" dl
row "CPU % with one 2 MB/s client" slow
row "RSS KiB after the runs" rss
row "hello.php requests/s (10 clients)" php
awk -v v="${R[vantrel,1k]}" -v n="${R[nginx,1k]}" -v v2="${R[vantrel,100k]}" -v n2="${R[nginx,100k]}" \
    -v d="${R[vantrel,dl]}" -v dn="${R[nginx,dl]}" -v p="${R[vantrel,php]}" -v pl="${R[lighttpd,php]}" \
  'BEGIN { printf "\nratios: 1 KiB %.2fx nginx, 100 KiB %.2fx nginx, download %.2fx nginx, php %.2fx lighttpd\n",
           v / n, v2 / n2, d / dn, p / pl }'
