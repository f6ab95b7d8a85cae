# Bash completion for quillon-cli.
_quillon_cli() {
  local cur prev command
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  command=${COMP_WORDS[1]}
  local commands="info image settings ports flash station history doctor"
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --port)
      local ports
      ports=$(ls /dev/ttyUSB* /dev/ttyACM* /dev/ttyS* /dev/serial/by-id/* 2>/dev/null)
      COMPREPLY=($(compgen -W "$ports COM1 COM2 COM3 COM4 usb:" -- "$cur"))
      return ;;
    --baud)
      COMPREPLY=($(compgen -W "4800 9600 19200 38400 57600 115200" -- "$cur"))
      return ;;
    --boot|--ini|--log|--trace|--output|-o|--record)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --send-wait|--units|--first-serial|--serial-counter|--expect-sha256|--operator|--since|--serial|--limit|--http)
      return ;;
    --serial-number)
      COMPREPLY=($(compgen -W "0x3FF00:be32 0x3FF00:le32 0x3FF00:be16 0x3FF00:le16 0x3FF00:dec:8" -- "$cur"))
      return ;;
  esac
  local options
  case $command in
    info) options="--json --boot --serial-number --help" ;;
    image) options="--output --help" ;;
    settings) options="--ini --json --save --help" ;;
    ports) options="--ini --json --help" ;;
    flash) options="--port --boot --baud --send-wait --ini --log --trace --json --yes --record --expect-sha256 --help" ;;
    station) options="--port --boot --baud --send-wait --ini --log --trace --json --record --units --serial-number
      --first-serial --serial-counter --expect-sha256 --operator --http --help" ;;
    history) options="--record --log --since --port --serial --failed --limit --json --csv --help" ;;
    doctor) options="--port --ini --boot --json --help" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -X '!*.@(mot|MOT|sub|SUB|s19|s28|s37|srec)' -- "$cur") $(compgen -d -- "$cur"))
  fi
}
complete -F _quillon_cli quillon-cli
