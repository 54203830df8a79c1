#!/usr/bin/env bash
# Runs a Windows program under wine without a display: a private prefix
# (WINEPREFIX, default next to the build), the null graphics driver, no Mono
# or Gecko installers, and a time limit so that a hung program cannot stall
# the test run. Used as CMAKE_CROSSCOMPILING_EMULATOR.
#   wine-run.sh program.exe [args...]     (STM32_WINE_TIMEOUT, default 60 s)
set -uo pipefail
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
# winedbg off: a crashing program must end, not wait for a debugger.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
export WINEDEBUG="${WINEDEBUG:--all}"
limit="${STM32_WINE_TIMEOUT:-60}"

prepare_prefix() {
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.stm32-ready" ]; then
      timeout 120 wineboot -i >/dev/null 2>&1
      timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      timeout 30 wineserver -w
      touch "$WINEPREFIX/.stm32-ready"
    fi
  ) 9>"$WINEPREFIX/.stm32-lock"
}

prepare_prefix
exec timeout --kill-after=5 "$limit" wine "$@"
