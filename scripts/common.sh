# What scripts/run and scripts/calibrate-demo share; sourced by both once
# they have set $bin (the built programs) and $ORVEX_ROOT.

serial_key='HKEY_LOCAL_MACHINE\Platform\Serial'
input_key='HKEY_LOCAL_MACHINE\Platform\Input'
portio_key='HKEY_LOCAL_MACHINE\Platform\PortIo'
reg_get() { "$bin/orvexreg" query "$1" "$2" 2>/dev/null | sed -n 's/^[^=]*=//p' | sed 's/^"\(.*\)"$/\1/' || true; }
reg_set() { "$bin/orvexreg" set "$1" "$2" sz "$3" >/dev/null; }

# The simulator's link appears within 5 s; the device manager's socket
# within 30 s, unless the manager (pid $1) ends first.
wait_for_link() { for _ in $(seq 100); do [ -e "$1" ] && break; sleep 0.05; done; }
wait_for_device() {
  for _ in $(seq 600); do
    [ -S "$ORVEX_ROOT/dev/ORX1" ] || ! kill -0 "$1" 2>/dev/null && break
    sleep 0.05
  done
}

# A Wayland session: Qt told to use Wayland, or a compositor's socket and no
# X display.
wayland_session() {
  case "${QT_QPA_PLATFORM:-}" in
    wayland*) return 0 ;;
    ?*) return 1 ;;
  esac
  [ -n "${WAYLAND_DISPLAY:-}" ] && [ -z "${DISPLAY:-}" ]
}
# The compositor's socket, as a path (wayland-0 when WAYLAND_DISPLAY is unset).
wayland_socket() {
  local name=${WAYLAND_DISPLAY:-wayland-0}
  case "$name" in
    /*) echo "$name" ;;
    *) echo "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$name" ;;
  esac
}
