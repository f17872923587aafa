# Sourced by the Windows test scripts after they set WINEPREFIX: Wine's
# environment, run_wine to start a Windows program, and a scratch folder
# ($work) with background processes ($pids) that go when the script exits.

export WINEDEBUG=-all
# No debugger on a crash, no mono or gecko downloads: the prefix starts in seconds.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

# One start of Wine in about two thousand fails when address space
# randomisation puts something where Wine wants its shared user data page:
# start it without randomisation where the host allows that.
launcher=()
if setarch -R true 2>/dev/null; then launcher=(setarch -R); fi
run_wine() { "${launcher[@]}" wine "$@"; }

work=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
