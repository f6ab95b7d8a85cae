#!/usr/bin/env bash
# The bash completion as bash runs it: file names with spaces, folders, options, ports, and
# quillon-devsim's. Usage: completion_test.sh COMPLETION_FILE QUILLON_CLI
set -euo pipefail
shopt -s extglob
# shellcheck source=/dev/null
source "$1"
cli=$(realpath "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
touch "my update.mot" notes.txt
mkdir "sub dir"
failed=0
# complete FUNCTION WORD...: completes the last word as bash would.
complete() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(( $# - 1 ))
  COMPREPLY=()
  "$function" || true  # compgen finding nothing is no failure
}
has() {
  local want=$1 item
  for item in "${COMPREPLY[@]}"; do [ "$item" = "$want" ] && return 0; done
  echo "FAIL: '$want' not offered for '${COMP_WORDS[*]}' (offered: ${COMPREPLY[*]})" >&2
  failed=1
}
lacks() {
  local item
  for item in "${COMPREPLY[@]}"; do
    [ "$item" = "$1" ] && { echo "FAIL: '$1' offered for '${COMP_WORDS[*]}'" >&2; failed=1; }
  done
  return 0
}

complete _quillon_cli quillon-cli flash my
has "my update.mot"
[ ${#COMPREPLY[@]} -eq 1 ] || { echo "FAIL: a name with a space came apart: ${COMPREPLY[*]}" >&2; failed=1; }
complete _quillon_cli quillon-cli flash ""
has "my update.mot"; has "sub dir"; lacks notes.txt
complete _quillon_cli quillon-cli flash --boot sub
has "sub dir"
for command in info image settings ports flash station history doctor; do
  complete _quillon_cli quillon-cli "$command" --
  # Every option the program's own help lists is offered.
  options=$("$cli" "$command" --help | grep -o '^ *\(-[a-z],\)\?--[a-z0-9-]*' | grep -o -- '--[a-z0-9-]*')
  [ -n "$options" ] || { echo "FAIL: $cli $command --help lists no option" >&2; failed=1; }
  for option in $options; do has "$option"; done
done
for sub in "fleet status" "fleet numbers" "pool import" "pool status"; do
  complete _quillon_cli quillon-cli $sub --
  options=$("$cli" $sub --help | grep -o '^ *\(-[a-z],\)\?--[a-z0-9-]*' | grep -o -- '--[a-z0-9-]*')
  [ -n "$options" ] || { echo "FAIL: $cli $sub --help lists no option" >&2; failed=1; }
  for option in $options; do has "$option"; done
done
complete _quillon_cli quillon-cli pool ""
has import; has status
complete _quillon_cli quillon-cli fleet ""
has init; has status; has numbers
complete _quillon_cli "$cli" flash --port ""
has "usb:"
for device in $("$cli" ports --json | grep -o '"device":"[^"]*"' | cut -d'"' -f4); do has "$device"; done
complete _quillon_cli quillon-cli settings --map CO
has "COM3="
complete _quillon_devsim quillon-devsim --silent-at ""
has checksum-ack
complete _quillon_devsim quillon-devsim --junk-before-answers --bo
has --boards
complete _quillon_devsim quillon-devsim --link ""
has "sub dir"
exit $failed
