# Sourced by the benchmarks: a private nginx on a free port of 127.0.0.1.
#
#   start_nginx WORK PORT [LISTEN_SUFFIX [SERVER_LINES]]
# writes WORK/nginx.conf (pid, logs and temporary folders under WORK, files served from
# WORK/www, sendfile on) and starts nginx as a daemon; the caller waits for it to answer and
# kills "$(cat WORK/nginx.pid)" at the end. LISTEN_SUFFIX goes after "listen 127.0.0.1:PORT"
# (e.g. " ssl"); SERVER_LINES are more lines of the server block.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_nginx() {
  local work=$1 port=$2 listen_suffix=${3:-} server_lines=${4:-}
  mkdir -p "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:$port$listen_suffix;
$server_lines
    root $work/www;
  }
}
CONF
  nginx -p "$work" -c "$work/nginx.conf" 2>/dev/null
}
