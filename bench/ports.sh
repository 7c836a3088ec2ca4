# Loopback port helpers shared by the benchmark scripts (sourced, not run).

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port nothing listens on, picked at random from 20000-39999.
free_port() {
  local p
  for _ in $(seq 1 100); do
    p=$((20000 + RANDOM % 20000))
    port_in_use "$p" || { echo "$p"; return; }
  done
  echo "no free port" >&2; exit 1
}

# Waits up to 10 s for something to listen on port $1.
wait_for_port() {
  for _ in $(seq 1 200); do port_in_use "$1" && return 0; sleep 0.05; done
  echo "nothing listens on port $1" >&2; return 1
}
