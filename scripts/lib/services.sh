# Sourced by scripts/test, scripts/run and the benchmarks: starts the private
# components that the program and its tests talk to, and stops exactly those
# (by the PIDs recorded here) again.

WAVECRATE_STARTED_PIDS=()

# A private PulseAudio with a null sink as the "speakers", so tests never touch
# a real sound card and can listen to what reaches the user's sink.
wavecrate_start_pulse() {
  WAVECRATE_RUNTIME=$(mktemp -d /tmp/wavecrate-runtime.XXXXXX)
  chmod 700 "$WAVECRATE_RUNTIME"
  export XDG_RUNTIME_DIR="$WAVECRATE_RUNTIME"
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  export HOME_FOR_PULSE="$XDG_RUNTIME_DIR/home"
  mkdir -p "$HOME_FOR_PULSE"
  HOME="$HOME_FOR_PULSE" pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit=no \
    --log-target=file:"$XDG_RUNTIME_DIR/pulse.log" -n \
    --load="module-native-protocol-unix" --load="module-null-sink sink_name=speakers sink_properties=device.description=Speakers" \
    --load="module-null-sink sink_name=microphone sink_properties=device.description=Microphone" \
    --load="module-always-sink" 2>>"$XDG_RUNTIME_DIR/pulse.log" || true
  local i
  for i in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    sleep 0.05
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "services: the private PulseAudio did not start; its log:" >&2
    cat "$XDG_RUNTIME_DIR/pulse.log" >&2 || true
    return 1
  fi
  pactl set-default-sink speakers
  pactl set-default-source microphone.monitor
  local pid
  pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null || true)
  if [ -n "$pid" ]; then WAVECRATE_STARTED_PIDS+=("$pid"); fi
}

# Runs the given command with a display: the current one, or a private Xvfb
# with a tray host when there is none.
wavecrate_start_display() {
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then return 0; fi
  local n
  for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  WAVECRATE_STARTED_PIDS+=("$!")
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    if [ -e "/tmp/.X11-unix/X$n" ]; then break; fi
    sleep 0.05
  done
  trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 --transparent false >/dev/null 2>&1 &
  WAVECRATE_STARTED_PIDS+=("$!")
}

wavecrate_stop_services() {
  local pid
  for pid in "${WAVECRATE_STARTED_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${WAVECRATE_STARTED_PIDS[@]}"; do
    local i
    for i in $(seq 1 40); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  WAVECRATE_STARTED_PIDS=()
  if [ -n "${WAVECRATE_RUNTIME:-}" ]; then rm -rf "$WAVECRATE_RUNTIME"; fi
}

# A private PipeWire with its PulseAudio service and WirePlumber as session
# manager, on a private runtime folder and a private session bus, with a null
# sink "speakers" as the user's default sink. Exports PULSE_SERVER for it.
# Its state (what WirePlumber saves about streams) lives under
# $WAVECRATE_PW_RUNTIME/state and survives a restart of the three daemons
# (wavecrate_stop_pipewire, then wavecrate_start_pipewire with the same
# WAVECRATE_PW_RUNTIME).
wavecrate_start_pipewire() {
  if [ -z "${WAVECRATE_PW_RUNTIME:-}" ]; then
    WAVECRATE_PW_RUNTIME=$(mktemp -d /tmp/wavecrate-pipewire.XXXXXX)
  fi
  chmod 700 "$WAVECRATE_PW_RUNTIME"
  mkdir -p "$WAVECRATE_PW_RUNTIME"/{state,config,home}
  export XDG_RUNTIME_DIR="$WAVECRATE_PW_RUNTIME" XDG_STATE_HOME="$WAVECRATE_PW_RUNTIME/state"
  export XDG_CONFIG_HOME="$WAVECRATE_PW_RUNTIME/config" HOME="$WAVECRATE_PW_RUNTIME/home"
  export PULSE_SERVER="unix:$WAVECRATE_PW_RUNTIME/pulse/native"
  local log="$WAVECRATE_PW_RUNTIME/log"
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$WAVECRATE_PW_RUNTIME/bus" >>"$log" 2>&1 &
  WAVECRATE_PW_PIDS=("$!")
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$WAVECRATE_PW_RUNTIME/bus"
  local i
  for i in $(seq 1 100); do [ -S "$WAVECRATE_PW_RUNTIME/bus" ] && break; sleep 0.05; done
  pipewire >>"$log" 2>&1 &
  WAVECRATE_PW_PIDS+=("$!")
  for i in $(seq 1 100); do [ -S "$WAVECRATE_PW_RUNTIME/pipewire-0" ] && break; sleep 0.05; done
  wireplumber >>"$log" 2>&1 &
  WAVECRATE_PW_PIDS+=("$!")
  pipewire-pulse >>"$log" 2>&1 &
  WAVECRATE_PW_PIDS+=("$!")
  WAVECRATE_STARTED_PIDS+=("${WAVECRATE_PW_PIDS[@]}")
  for i in $(seq 1 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  if ! pactl info >/dev/null 2>&1; then
    echo "services: the private PipeWire did not start; its log:" >&2
    cat "$log" >&2
    return 1
  fi
  if ! pactl list short sinks | grep -q '^[0-9]*[[:space:]]speakers[[:space:]]'; then
    pactl load-module module-null-sink sink_name=speakers >/dev/null
  fi
  for i in $(seq 1 100); do pactl list short sinks | grep -q speakers && break; sleep 0.05; done
  pactl set-default-sink speakers
}

# Stops the daemons wavecrate_start_pipewire started (by PID), keeping its
# runtime folder and saved state.
wavecrate_stop_pipewire() {
  local pid
  for pid in "${WAVECRATE_PW_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${WAVECRATE_PW_PIDS[@]}"; do
    for i in $(seq 1 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  done
  WAVECRATE_PW_PIDS=()
}
