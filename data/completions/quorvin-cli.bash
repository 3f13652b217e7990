# bash completion for quorvin-cli
_quorvin_cli() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --format)
      COMPREPLY=($(compgen -W "wav mp3 aac mp4 m4a wma flac opus ogg" -- "$cur"))
      return ;;
    --standard)
      COMPREPLY=($(compgen -W "replaygain1 r128" -- "$cur"))
      return ;;
    --dest)
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    --existing)
      COMPREPLY=($(compgen -W "number skip replace update" -- "$cur"))
      return ;;
    --files-from)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --log)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --bitrate|--target|--peak-limit|--jobs|-j|--name)
      return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--format --bitrate --dest --same-folder --recursive --flat
      --skip-existing --loudness --standard --target --normalize --album --peak-limit
      --replaygain-tags --skip-problem-files --no-tags --list --json --log --name
      --portable-names --existing --dry-run --files-from --null --jobs --quiet
      --verbose --help --version -j -q -v -h -V" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _quorvin_cli quorvin-cli
