#!/usr/bin/env bash
# Fails on any include that goes up or sideways between the rooms of src/, or
# from the reference host into the library: the one table below is the
# architecture. A room may include its own headers, the public boundary
# (include/) and the rooms it lists.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

declare -A may_use=(
  [platform]=""
  [logging]="platform"
  [value]="logging platform"
  [readers]="value logging platform"
  [http]="logging platform"
  [api]="readers http value logging platform"
  [framework]="api readers http value logging platform"
  [plugin]="framework api readers http value logging platform"
  # The reference host speaks to plugins through include/ alone.
  [host]=""
)
rooms=" ${!may_use[*]} "

bad=0
check() { # check ROOM FILE...
  local room=$1 file line target
  shift
  for file in "$@"; do
    while IFS=: read -r line target; do
      [[ $target == "$room" ]] && continue
      [[ $rooms == *" $target "* ]] || continue
      if [[ " ${may_use[$room]} " != *" $target "* ]]; then
        echo "$file:$line: room '$room' may not include '$target/' (allowed: ${may_use[$room]:-none})"
        bad=1
      fi
    done < <(grep -noE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][a-z_]+/' "$file" |
      sed -E 's/^([0-9]+):.*["<]([a-z_]+)\/$/\1:\2/')
  done
}

for dir in src/*/; do
  room=$(basename "$dir")
  if [[ -z ${may_use[$room]+set} ]]; then
    echo "src/$room: a room missing from the table in tools/check_layers.sh"
    bad=1
    continue
  fi
  mapfile -t files < <(find "$dir" -name '*.h' -o -name '*.cpp')
  check "$room" "${files[@]}"
done
mapfile -t files < <(find host -name '*.h' -o -name '*.cpp')
check host "${files[@]}"

if [[ $bad == 0 ]]; then
  echo "layering: every include follows the table"
fi
exit $bad
