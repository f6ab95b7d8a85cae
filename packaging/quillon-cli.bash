# Bash completion for quillon-cli and quillon-devsim. File names may hold spaces; folders can
# be entered; --port offers the ports `quillon-cli ports` lists.

# Files (and folders to go into) matching an extended pattern, one per line, quoted by readline.
_quillon_files() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null || true
  if [ -n "$1" ]; then
    COMPREPLY=($(compgen -f -X "!$1" -- "$cur") $(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

_quillon_cli() {
  local cur prev command
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  command=${COMP_WORDS[1]}
  local commands="info image settings ports flash station history doctor fleet pool"
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  # bash splits "--map COM3=/dev/x" at the "=": the device after it is a device to offer.
  if [ "$prev" = "=" ] && [ "$COMP_CWORD" -ge 3 ] && [ "${COMP_WORDS[COMP_CWORD-3]}" = "--map" ]; then
    COMPREPLY=($(compgen -W "$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* 2>/dev/null)" -- "$cur"))
    return
  fi
  case $prev in
    --port)
      # The ports this program sees (as `ports` lists them), their stable names, and usb:.
      local ports
      ports=$("${COMP_WORDS[0]}" ports --json 2>/dev/null | grep -o '"\(device\|by_id\|by_path\)":\(\[[^]]*\]\|"[^"]*"\)' \
        | grep -o '"/[^"]*"\|"COM[0-9]*"' | tr -d '"')
      COMPREPLY=($(compgen -W "$ports usb:" -- "$cur"))
      return ;;
    --scan-port)
      COMPREPLY=($(compgen -W "$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* 2>/dev/null)" -- "$cur"))
      return ;;
    --map)
      # COMn= first, then the devices: the adapters' stable names.
      if [[ $cur == COM*=* ]]; then
        local devices
        devices=$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* 2>/dev/null)
        COMPREPLY=($(compgen -P "${cur%%=*}=" -W "$devices" -- "${cur#*=}"))
      else
        compopt -o nospace 2>/dev/null
        COMPREPLY=($(compgen -W "$(printf 'COM%d= ' $(seq 1 20))" -- "$cur"))
      fi
      return ;;
    --baud)
      COMPREPLY=($(compgen -W "4800 9600 19200 38400 57600 115200" -- "$cur"))
      return ;;
    --boot)
      _quillon_files '*.@(sub|SUB|mot|MOT|s19|s28|s37|srec)'
      return ;;
    --ini)
      _quillon_files '*.@(ini|INI)'
      return ;;
    --config)
      _quillon_files '*.@(conf|ini|INI)'
      return ;;
    --log|--trace|--output|-o|--record|--upload-ca)
      _quillon_files ''
      return ;;
    --drop-folder)
      compopt -o dirnames 2>/dev/null
      COMPREPLY=()
      return ;;
    --send-wait|--units|--first-serial|--serial-counter|--expect-sha256|--operator|--since|--serial|--limit|--http|--probe-wait|--fleet|--station-name|--station|--lease|--from|--to|--counter|--upload|--upload-header|--upload-timeout|--deliver-grace|--after|--redeliver|--on-result|--on-result-timeout|--pool|--column|--scan-pattern)
      return ;;
    --failed-number|--on-fail)
      COMPREPLY=($(compgen -W "spend reuse" -- "$cur"))
      return ;;
    --serial-number)
      COMPREPLY=($(compgen -W "0x3FF00:be32 0x3FF00:le32 0x3FF00:be16 0x3FF00:le16 0x3FF00:dec:8" -- "$cur"))
      return ;;
    --pool-at)
      COMPREPLY=($(compgen -W "0x3FF10:mac 0x3FF10:hex:16 0x3FF10:ascii:16 0x3FF10:be32 0x3FF10:le32" -- "$cur"))
      return ;;
  esac
  local options
  case $command in
    info) options="--json --boot --serial-number --baud --ini --help" ;;
    image) options="--output --help" ;;
    settings) options="--ini --json --save --map --boot --help" ;;
    ports) options="--ini --json --help" ;;
    flash) options="--port --boot --baud --send-wait --ini --log --trace --json --yes --record --expect-sha256 --fleet
      --station-name --upload --upload-ca --upload-header --upload-timeout --drop-folder --deliver-grace --help" ;;
    station) options="--port --boot --baud --send-wait --ini --log --trace --json --record --units --serial-number
      --first-serial --serial-counter --expect-sha256 --operator --http --probe-wait --fleet --station-name --lease
      --failed-number --upload --upload-ca --upload-header --upload-timeout --drop-folder --deliver-grace --bell
      --on-result --on-result-timeout --config --print-config --pool --pool-at --on-fail --scan --scan-port --scan-pattern
      --allow-rescan --help" ;;
    history) options="--record --fleet --station --log --since --port --serial --failed --limit --after --undelivered
      --redeliver --json --csv --help" ;;
    fleet)
      if [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "init status numbers --help" -- "$cur"))
        return
      fi
      case ${COMP_WORDS[2]} in
        status) options="--json --help" ;;
        numbers) options="--from --to --counter --json --help" ;;
        *) options="--help" ;;
      esac ;;
    doctor) options="--port --ini --boot --json --help" ;;
    pool)
      if [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "import status --help" -- "$cur"))
        return
      fi
      case ${COMP_WORDS[2]} in
        import)
          if [[ $cur != -* ]] && [ "$COMP_CWORD" -ge 4 ]; then
            _quillon_files '*.@(csv|CSV|txt)'
            return
          fi
          options="--column --record --log --fleet --help" ;;
        status) options="--json --record --log --fleet --help" ;;
        *) options="--help" ;;
      esac ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    _quillon_files '*.@(mot|MOT|sub|SUB|s19|s28|s37|srec)'
  fi
}
complete -F _quillon_cli quillon-cli

_quillon_devsim() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local phases="start size final bitrate newrate block-ack ready checksum-ack closing"
  case $prev in
    --link|--flash-in|--flash-out|--report)
      _quillon_files ''
      return ;;
    --silent-at)
      COMPREPLY=($(compgen -W "$phases" -- "$cur"))
      return ;;
    --vanish-at)
      COMPREPLY=($(compgen -W "$phases echo" -- "$cur"))
      return ;;
    --latency-ms|--slow-block|--slow-checksum|--slow-start|--after-final-answer|--start-answer|--wrong-echo-from|--no-echo-from| \
    --final-answer|--bitrate-answer|--chunk-answer|--silent-after-chunk|--closing-bytes|--closing-split| \
    --hangup-at-chunk|--boards|--swap-ms|--fault-board)
      return ;;  # a number
  esac
  COMPREPLY=($(compgen -W "--link --flash-in --flash-out --report --latency-ms --slow-block --slow-checksum --slow-start --silent-at
    --vanish-at --after-final-answer --start-answer --wrong-echo-from --no-echo-from --final-answer --bitrate-answer
    --chunk-answer --silent-after-chunk --closing-bytes --closing-split --junk-before-answers --hangup-at-chunk --boards
    --swap-ms --fault-board --help --version" -- "$cur"))
}
complete -F _quillon_devsim quillon-devsim
