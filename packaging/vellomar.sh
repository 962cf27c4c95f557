#!/bin/sh
# The vellomar command: starts the launcher with a start folder of the user's
# own, $XDG_DATA_HOME/vellomar (~/.local/share/vellomar by default), made on
# first use and holding the banner program, so that the working folder and
# the server live there whatever folder the command is typed in. The
# programs are found beside this script, in ../lib/vellomar.
set -e

lib=$(dirname "$(readlink -f "$0")")/../lib/vellomar
if [ ! -x "$lib/vellomar" ]; then
  echo "vellomar: 找不到 $lib/vellomar，请重新安装本软件包。" >&2
  exit 1
fi

case ${XDG_DATA_HOME:-} in
/*) data=$XDG_DATA_HOME ;;
*)
  if [ -z "${HOME:-}" ]; then
    echo "vellomar: 未设置 HOME，无法确定起始文件夹。" >&2
    exit 1
  fi
  data=$HOME/.local/share
  ;;
esac
start=$data/vellomar

if ! mkdir -p "$start"; then
  echo "vellomar: 无法创建起始文件夹 $start。" >&2
  exit 1
fi
# The launcher runs the banner program from its start folder: a copy of the
# installed one, replaced whole when a newer package brings another.
if ! cmp -s "$lib/out_put_ver.exe" "$start/out_put_ver.exe"; then
  cp "$lib/out_put_ver.exe" "$start/.out_put_ver.exe.$$"
  mv -f "$start/.out_put_ver.exe.$$" "$start/out_put_ver.exe"
fi
cd "$start"
exec "$lib/vellomar" "$@"
