# Sourced by the GNUstep stage and the screenshot script: a private X server,
# the GNUstep daemons and user defaults in a temporary folder. Every process
# started here is ended by its PID in gnustep_session_end.
gnustep_session_start() {
  GNUSTEP_SESSION_DIR="$(mktemp -d /tmp/gnustep-session.XXXXXX)"
  mkdir -p "$GNUSTEP_SESSION_DIR/home" "$GNUSTEP_SESSION_DIR/defaults"
  cat > "$GNUSTEP_SESSION_DIR/GNUstep.conf" <<CONF
GNUSTEP_USER_DIR=$GNUSTEP_SESSION_DIR/home/GNUstep
GNUSTEP_USER_DEFAULTS_DIR=$GNUSTEP_SESSION_DIR/defaults
CONF
  export GNUSTEP_CONFIG_FILE="$GNUSTEP_SESSION_DIR/GNUstep.conf"
  export HOME="$GNUSTEP_SESSION_DIR/home"
  local display
  for display in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] || break
  done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$GNUSTEP_SESSION_DIR/xvfb.log" 2>&1 &
  GNUSTEP_XVFB_PID=$!
  export DISPLAY=":$display"
  local i
  for i in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
  done
  gdnc --no-fork >"$GNUSTEP_SESSION_DIR/gdnc.log" 2>&1 &
  GNUSTEP_GDNC_PID=$!
  gpbs --no-fork >"$GNUSTEP_SESSION_DIR/gpbs.log" 2>&1 &
  GNUSTEP_GPBS_PID=$!
  sleep 1
}

gnustep_session_end() {
  local pid
  for pid in ${GNUSTEP_GPBS_PID:-} ${GNUSTEP_GDNC_PID:-} ${GNUSTEP_XVFB_PID:-}; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -n "${GNUSTEP_SESSION_DIR:-}" ] && rm -rf "$GNUSTEP_SESSION_DIR"
  GNUSTEP_GPBS_PID= GNUSTEP_GDNC_PID= GNUSTEP_XVFB_PID= GNUSTEP_SESSION_DIR=
}
