#!/bin/sh
# Starts the server standalone on the embedded database with a home of its
# own (./home by default), in the foreground; Ctrl-C ends it cleanly.
#
#   scripts/run-server.sh [BUILD_DIR]      (make run: BUILD_DIR=build/release)
#
# Environment: TILLBASE_RUN_HOME (the home, default ./home), TILLBASE_PORT
# (default 8211). The home keeps CONFIG.INI, BackUp/, Data/ (the embedded
# databases), and the per-user settings and class registration of this
# server (XDG directories below the home), so nothing outside it changes.
set -eu

build_dir=${1:-build/release}
server="$build_dir/src/server/tillbase-server"
cli="$build_dir/src/rpc/tillbase-cli"
port=${TILLBASE_PORT:-8211}
home=${TILLBASE_RUN_HOME:-./home}

if [ ! -x "$server" ]; then
  echo "run-server: $server is missing; build first (make release)" >&2
  exit 1
fi

mkdir -p "$home"
home=$(cd "$home" && pwd)

if [ ! -f "$home/CONFIG.INI" ]; then
  # The embedded engine with a SQL Server login "sa" and an empty password.
  printf '[SERVER]\r\nDBServerName=(local)\r\nDataBaseName=master\r\nLoginName=sa\r\nWindowsSecurity=False\r\n[DATABASE]\r\nDriver=embedded\r\n' \
    > "$home/CONFIG.INI"
  echo "run-server: wrote $home/CONFIG.INI (embedded database, login sa)"
fi

export XDG_CONFIG_HOME="$home/.config"
export XDG_DATA_HOME="$home/.local/share"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"

cat <<EOT
run-server: starting the server on 127.0.0.1:$port with home $home
run-server: call it, for example:
  $cli --port $port GetServerVersion
  $cli --port $port ConnectDB '"pc1", "127.0.0.1"'
  $cli --port $port          (a REPL on one session object; .quit ends)
  curl -s http://127.0.0.1:$port/v1/health
run-server: Ctrl-C stops the server.
EOT

exec "$server" --home "$home" --listen "127.0.0.1:$port"
