#!/usr/bin/env bash
# Runs a Windows program under wine without a display: a private prefix
# (WINEPREFIX, default next to the build), the null graphics driver, no Mono
# or Gecko installers, no debugger, and a time limit so that a hung program
# cannot stall the test run. Used as CMAKE_CROSSCOMPILING_EMULATOR.
#   wine-run.sh program.exe [args...]     (STM32_WINE_TIMEOUT, default 60 s)
#   wine-run.sh --start-server            prefix ready, a persistent wineserver
#                                         and wine's own services running (end
#                                         them with "wineserver -k")
# Without a running server every run starts wine's services anew, and they
# hold the caller's output open until the server ends, 3 s after the run.
set -uo pipefail
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
# winedbg off: a crashing program must end, not wait for a debugger.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
export WINEDEBUG="${WINEDEBUG:--all}"
limit="${STM32_WINE_TIMEOUT:-60}"

# Graphics driver of the prefix: null (no display needed) unless
# STM32_WINE_GRAPHICS=x11 (with DISPLAY, Xvfb in the Windows stage, where
# the programs are also driven through their windows).
graphics="${STM32_WINE_GRAPHICS:-null}"

prepare_prefix() {
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.stm32-ready-$graphics" ]; then
      [ -f "$WINEPREFIX/system.reg" ] || timeout 180 wineboot -i >/dev/null 2>&1
      timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$graphics" /f >/dev/null 2>&1
      # The services started so far use the driver before: let them end.
      timeout 60 wineserver -k
      timeout 30 wineserver -w
      rm -f "$WINEPREFIX"/.stm32-ready-*
      touch "$WINEPREFIX/.stm32-ready-$graphics"
    fi
  ) 9>"$WINEPREFIX/.stm32-lock"
}

prepare_prefix
if [ "${1:-}" = "--start-server" ]; then
  timeout 30 wineserver -p || exit 1
  # Start the services now, detached from the caller's output.
  timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
  exit $?
fi
exec timeout --kill-after=5 "$limit" wine "$@"
