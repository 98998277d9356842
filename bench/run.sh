#!/usr/bin/env bash
# Benchmarks vantrel-httpd against nginx (one worker) and lighttpd on loopback,
# serving the same generated site, and prints one table; then PHP in persistent
# workers (vantrel-httpd -W 4) against nginx + php-fpm (4 static children);
# then the same with clients that keep their connections (vantrel-httpd -k 1,
# nginx with keepalive), over TLS too, and the memory of idle kept connections.
#   bash bench/run.sh [build_dir] [seconds_per_run] [all|static|php-workers|keep-alive]
# Requests-per-second rows are the best of ROUNDS runs (default 3) per server,
# the servers taking turns, so that load from elsewhere on the machine during
# one run does not decide a ratio.
# Every load run is bounded by its duration; all servers are stopped at the end.
set -euo pipefail
BUILD=${1:-build}
SECONDS_PER_RUN=${2:-10}
SECTION=${3:-all}
HERE=$(cd "$(dirname "$0")/.." && pwd)
HTTPD="$HERE/$BUILD/vantrel-httpd"
WORK=$(mktemp -d /tmp/vantrel-bench-XXXXXX)
chmod 755 "$WORK"  # nginx's worker runs as another user and must read the site
PIDS=()
KEEP=0                # 1: clients keep their connections
NGINX_KEEPALIVE=0     # nginx's keepalive_timeout
VANTREL_ARGS=()       # extra switches for vantrel-httpd
ROUNDS=${ROUNDS:-3}   # runs per server and row, taken in turns

cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

install_tools() {
  local missing=""
  for p in wrk nginx-light lighttpd php-cgi php-fpm curl; do
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
  "$HTTPD" -p "$VANTREL_PORT" -d "$WORK/site" -c .php -C /usr/bin/php-cgi "${VANTREL_ARGS[@]}" 2>"$WORK/vantrel.err" &
  VANTREL_PID=$!; PIDS+=("$VANTREL_PID")
  wait_port "$VANTREL_PORT"
}

start_nginx() {
  NGINX_PORT=$(free_port)
  NGINX_TLS_PORT=$(free_port)  # a port of its own: the one above may be a client's
  mkdir -p "$WORK/nginx"
  cat > "$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
worker_rlimit_nofile 20000;
events { worker_connections 16384; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout $NGINX_KEEPALIVE;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/site; }
  server {
    listen 127.0.0.1:$NGINX_TLS_PORT ssl;
    root $WORK/site;
    ssl_certificate $WORK/tls.pem;
    ssl_certificate_key $WORK/tls.pem;
    # The protocols the other server speaks too (this nginx leaves out 1.3 by default).
    ssl_protocols TLSv1.2 TLSv1.3;
  }
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

# Requests per second with a new connection per request (or kept connections
# with KEEP=1); "err" when any reply was not a success, so failures never
# count as speed.
rps() { # port path connections [scheme]
  local out close=(-H "Connection: close")
  [ "$KEEP" = 1 ] && close=()
  out=$(wrk -t2 -c"$3" -d"${SECONDS_PER_RUN}s" "${close[@]}" "${4:-http}://127.0.0.1:$1$2" 2>/dev/null)
  if grep -q "Non-2xx" <<<"$out"; then echo err; return; fi
  awk '/Requests\/sec/ {printf "%.0f", $2}' <<<"$out"
}

# The best of ROUNDS runs of each server, taken in turns, into the associative
# array named first, as ARRAY[name,key]; "err" when any run of a server failed.
best_rps() { # array key path connections scheme name=port...
  local -n into=$1
  local key=$2 path=$3 connections=$4 scheme=$5 round pair name value
  shift 5
  for ((round = 0; round < ROUNDS; round++)); do
    for pair in "$@"; do
      name=${pair%%=*}
      value=$(rps "${pair#*=}" "$path" "$connections" "$scheme")
      if [ "$value" = err ] || [ "${into[$name,$key]:-0}" = err ]; then into[$name,$key]=err; continue; fi
      if [ "$value" -gt "${into[$name,$key]:-0}" ]; then into[$name,$key]=$value; fi
    done
  done
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

# A page shaped like a framework application's: about a hundred small class
# files loaded through an autoloader, a session started, a 20 KiB page.
make_framework_page() {
  local d="$WORK/site/fw"
  mkdir -p "$d/lib" "$d/sessions"
  for i in $(seq 1 100); do
    cat > "$d/lib/Component$i.php" <<EOF
<?php
namespace App;

final class Component$i
{
    private array \$items = [];

    public function __construct(private string \$name = 'component-$i')
    {
        for (\$k = 0; \$k < 3; \$k++) {
            \$this->items[] = \$this->name . '.' . \$k;
        }
    }

    public function render(): string
    {
        return '<li class="c$i">' . htmlspecialchars(implode(', ', \$this->items)) . '</li>';
    }
}
EOF
  done
  cat > "$d/index.php" <<'EOF'
<?php
session_save_path(__DIR__ . '/sessions');
spl_autoload_register(function (string $class): void {
    require __DIR__ . '/lib/' . substr($class, strlen('App\\')) . '.php';
});
session_start();
$_SESSION['visits'] = ($_SESSION['visits'] ?? 0) + 1;
$items = [];
for ($i = 1; $i <= 100; $i++) {
    $class = "App\\Component$i";
    $items[] = (new $class())->render();
}
header('Content-Type: text/html; charset=utf-8');
echo "<!doctype html>\n<html><head><title>Framework-like page</title></head><body>\n<ul>\n";
echo implode("\n", $items), "\n</ul>\n<table>\n";
for ($r = 0; $r < 150; $r++) {
    printf("<tr><td>%d</td><td>%s</td><td>%05.2f</td></tr>\n", $r, str_repeat('x', 48), $r / 7);
}
echo "</table>\n<p>visit ", $_SESSION['visits'], "</p></body></html>\n";
EOF
}

start_vantrel_workers() { # workers (0: one process per request)
  VW_PORT=$(free_port)
  "$HTTPD" -p "$VW_PORT" -d "$WORK/site" -c .php -C /usr/bin/php-cgi -W "$1" "${VANTREL_ARGS[@]}" \
    2>"$WORK/vantrel-w$1.err" &
  VW_PID=$!; PIDS+=("$VW_PID")
  wait_port "$VW_PORT"
  sleep 0.5  # the workers are forked
}

stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

start_nginx_fpm() {
  FPM_DIR="$WORK/fpm"; mkdir -p "$FPM_DIR"
  local fpm; fpm=$(ls /usr/sbin/php-fpm* | head -1)
  cat > "$FPM_DIR/php-fpm.conf" <<EOF
[global]
pid = $FPM_DIR/fpm.pid
error_log = $FPM_DIR/error.log
daemonize = no
[bench]
user = root
group = root
listen = $FPM_DIR/fpm.sock
listen.mode = 0666
pm = static
pm.max_children = 4
EOF
  "$fpm" -R -y "$FPM_DIR/php-fpm.conf" &
  FPM_PID=$!; PIDS+=("$FPM_PID")
  for _ in $(seq 100); do [ -S "$FPM_DIR/fpm.sock" ] && break; sleep 0.05; done
  NF_PORT=$(free_port)
  mkdir -p "$WORK/nginx-fpm"
  cat > "$WORK/nginx-fpm/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx-fpm/nginx.pid;
error_log $WORK/nginx-fpm/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout $NGINX_KEEPALIVE;
  client_body_temp_path $WORK/nginx-fpm/body;
  proxy_temp_path $WORK/nginx-fpm/proxy;
  fastcgi_temp_path $WORK/nginx-fpm/fastcgi;
  uwsgi_temp_path $WORK/nginx-fpm/uwsgi;
  scgi_temp_path $WORK/nginx-fpm/scgi;
  server {
    listen 127.0.0.1:$NF_PORT;
    root $WORK/site;
    location ~ \.php\$ {
      fastcgi_pass unix:$FPM_DIR/fpm.sock;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_param SCRIPT_NAME \$fastcgi_script_name;
      fastcgi_param QUERY_STRING \$query_string;
      fastcgi_param REQUEST_METHOD \$request_method;
      fastcgi_param CONTENT_TYPE \$content_type;
      fastcgi_param CONTENT_LENGTH \$content_length;
      fastcgi_param REQUEST_URI \$request_uri;
      fastcgi_param DOCUMENT_ROOT \$document_root;
      fastcgi_param SERVER_PROTOCOL \$server_protocol;
      fastcgi_param GATEWAY_INTERFACE CGI/1.1;
      fastcgi_param REMOTE_ADDR \$remote_addr;
      fastcgi_param REMOTE_PORT \$remote_port;
      fastcgi_param SERVER_PORT \$server_port;
      fastcgi_param SERVER_NAME \$server_name;
      fastcgi_param REDIRECT_STATUS 200;
    }
  }
}
EOF
  nginx -c "$WORK/nginx-fpm/nginx.conf" -p "$WORK/nginx-fpm" &
  NF_PID=$!; PIDS+=("$NF_PID")
  wait_port "$NF_PORT"
}

# PHP pages with a new connection per request, at 4 and 16 clients.
php_workers_section() {
  make_framework_page
  local pages=("/hello.php" "/fw/index.php") clients=(4 16)
  declare -A P
  start_vantrel_workers 4
  start_nginx_fpm
  curl -s --noproxy '*' "http://127.0.0.1:$VW_PORT/fw/index.php" | wc -c > "$WORK/fw.size"
  for page in "${pages[@]}"; do for c in "${clients[@]}"; do
    best_rps P "$page,$c" "$page" "$c" http w="$VW_PORT" f="$NF_PORT"
  done; done
  stop_pid "$VW_PID"; stop_pid "$NF_PID"; stop_pid "$FPM_PID"
  start_vantrel_workers 0
  for page in "${pages[@]}"; do for c in "${clients[@]}"; do P[p,$page,$c]=$(rps "$VW_PORT" "$page" "$c"); done; done
  stop_pid "$VW_PID"

  printf '\nPHP, requests/s, new connection per request (framework page: %s bytes)\n' "$(cat "$WORK/fw.size")"
  printf '%-24s %14s %16s %14s %10s %12s\n' "page, clients" "vantrel -W 4" "nginx+php-fpm" "per-request" "vs fpm" "vs per-req"
  for page in "${pages[@]}"; do for c in "${clients[@]}"; do
    local w=${P[w,$page,$c]} f=${P[f,$page,$c]} p=${P[p,$page,$c]}
    printf '%-24s %14s %16s %14s %10s %12s\n' "$page, $c" "$w" "$f" "$p" \
      "$(awk -v a="$w" -v b="$f" 'BEGIN { if (b + 0 > 0 && a + 0 > 0) printf "%.2fx", a / b; else print "-" }')" \
      "$(awk -v a="$w" -v b="$p" 'BEGIN { if (b + 0 > 0 && a + 0 > 0) printf "%.1fx", a / b; else print "-" }')"
  done; done
}

make_tls_key() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -keyout "$WORK/tls.key" -out "$WORK/tls.crt" 2>/dev/null
  cat "$WORK/tls.key" "$WORK/tls.crt" > "$WORK/tls.pem"
  chmod 644 "$WORK/tls.pem"
}

# Opens `count` connections to the port, one request on each, and keeps them
# open and idle; prints the server's RSS growth in bytes per connection.
idle_memory() { # port pid count
  python3 - "$1" "$2" "$3" <<'EOF'
import socket, sys, time
port, pid, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
def rss():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"): return int(line.split()[1]) * 1024
def one():
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /1k.bin HTTP/1.1\r\nHost: x\r\n\r\n")
    got = b""
    while b"\r\n\r\n" not in got or len(got) < got.index(b"\r\n\r\n") + 4 + 1024:
        b = s.recv(65536)
        if not b: break
        got += b
    return s
warm = [one() for _ in range(200)]
time.sleep(0.5)
before = rss()
socks = [one() for _ in range(count)]
time.sleep(1)
print(round((rss() - before) / count))
EOF
}

# Clients that keep their connections, as browsers do.
keepalive_section() {
  KEEP=1; NGINX_KEEPALIVE=65; VANTREL_ARGS=(-k 1)
  declare -A K
  make_framework_page
  start_vantrel; start_nginx
  best_rps K 1k /1k.bin 50 http v="$VANTREL_PORT" n="$NGINX_PORT"
  best_rps K 100k /100k.bin 50 http v="$VANTREL_PORT" n="$NGINX_PORT"
  K[v,idle]=$(idle_memory "$VANTREL_PORT" "$VANTREL_PID" 10000)
  K[n,idle]=$(idle_memory "$NGINX_PORT" "$NGINX_WORKER" 10000)
  stop_pid "$VANTREL_PID"
  VANTREL_ARGS=(-k 1 -s "$WORK/tls.pem"); start_vantrel
  best_rps K tls /1k.bin 50 https v="$VANTREL_PORT" n="$NGINX_TLS_PORT"
  stop_pid "$VANTREL_PID"; stop_pid "$NGINX_PID"
  VANTREL_ARGS=(-k 1)
  local pages=("/hello.php" "/fw/index.php") clients=(4 16)
  start_vantrel_workers 4
  start_nginx_fpm
  for page in "${pages[@]}"; do for c in "${clients[@]}"; do
    best_rps K "$page,$c" "$page" "$c" http v="$VW_PORT" n="$NF_PORT"
  done; done
  stop_pid "$VW_PID"; stop_pid "$NF_PID"; stop_pid "$FPM_PID"

  printf '\nKept connections (vantrel-httpd -k 1; nginx keepalive on; PHP: -W 4 vs nginx + php-fpm, 4 children)\n'
  printf '%-40s %12s %12s %8s\n' "measure" "vantrel" "nginx" "ratio"
  krow() { printf '%-40s %12s %12s %8s\n' "$1" "${K[v,$2]}" "${K[n,$2]}" \
    "$(awk -v a="${K[v,$2]}" -v b="${K[n,$2]}" 'BEGIN { if (b + 0 > 0 && a + 0 > 0) printf "%.2fx", a / b; else print "-" }')"; }
  krow "1 KiB requests/s (50 clients)" 1k
  krow "100 KiB requests/s (50 clients)" 100k
  krow "1 KiB over TLS requests/s (50 clients)" tls
  for page in "${pages[@]}"; do for c in "${clients[@]}"; do krow "$page requests/s ($c clients)" "$page,$c"; done; done
  krow "bytes per idle kept connection (10,000)" idle
}

install_tools
[ -x "$HTTPD" ] || { echo "build $HTTPD first (make build)" >&2; exit 1; }
make_site
if [ "$SECTION" = php-workers ]; then php_workers_section; exit 0; fi
if [ "$SECTION" = keep-alive ]; then make_tls_key; keepalive_section; exit 0; fi
make_tls_key
start_vantrel
start_nginx
start_lighttpd

declare -A R
for size in 1k 100k; do
  best_rps R "$size" "/$size.bin" 50 http vantrel="$VANTREL_PORT" nginx="$NGINX_PORT" lighttpd="$LIGHTTPD_PORT"
done
for name in vantrel nginx lighttpd; do
  case $name in
    vantrel) port=$VANTREL_PORT; pid=$VANTREL_PID ;;
    nginx) port=$NGINX_PORT; pid=$NGINX_WORKER ;;
    lighttpd) port=$LIGHTTPD_PORT; pid=$LIGHTTPD_PID ;;
  esac
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
[ "$SECTION" = all ] && php_workers_section
[ "$SECTION" = all ] && { stop_pid "$VANTREL_PID"; stop_pid "$NGINX_PID"; keepalive_section; }
exit 0
