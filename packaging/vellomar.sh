#!/bin/sh
# The vellomar command: starts the launcher with a start folder of the user's
# own, $XDG_DATA_HOME/vellomar (~/.local/share/vellomar by default), made on
# first use and holding the banner program, so that the working folder and
# the server live there whatever folder the command is typed in. The
# programs are found beside this script, in ../lib/vellomar. The build fills
# in the version below.
#
# Every failure of its own is said here, in Chinese, with what to do; the
# tools it runs keep their English to themselves.
set -e

version=@PROJECT_VERSION@
usage="用法：vellomar [--help | --version]"

if [ $# -gt 0 ]; then
  if [ $# -eq 1 ] && [ "$1" = --help ]; then
    cat <<EOF
$usage

在终端中打开菜单：按 1 下载并安装 Java 服务器，按 2 启动它，按 3 退出。
起始文件夹是 \$XDG_DATA_HOME/vellomar（默认 ~/.local/share/vellomar），
服务器和它的文件都在那里，与输入命令时所在的文件夹无关。

  --help     显示本说明并退出
  --version  显示版本并退出

详见手册页 vellomar(1)：man vellomar
EOF
    exit 0
  fi
  if [ $# -eq 1 ] && [ "$1" = --version ]; then
    echo "vellomar $version"
    exit 0
  fi
  if [ $# -eq 1 ]; then
    # shellcheck disable=SC1111 # the quotation marks of Chinese text
    printf '%s\n' "vellomar: 无法识别的参数“${1}”。" >&2
  else
    printf '%s\n' "vellomar: 参数太多：最多只接受一个参数。" >&2
  fi
  printf '%s\n' "$usage（详见 vellomar --help 或 man vellomar）" >&2
  exit 2
fi

fail() {
  printf 'vellomar: %s\n' "$1" >&2
  exit 1
}

# The name of the first character of $1 that the launcher refuses in its
# start folder (its command lines cannot carry it), named as the launcher
# names it; nothing when there is none.
refused() {
  for byte in $(printf '%s' "$1" | od -An -v -tx1); do
    case $byte in
    5c) printf '%s' "反斜杠 \\" && return ;;
    22) printf '%s' '双引号 "' && return ;;
    09) printf '%s' '控制字符（制表符）' && return ;;
    0a) printf '%s' '控制字符（换行符）' && return ;;
    0d) printf '%s' '控制字符（回车符）' && return ;;
    [01]? | 7f) printf '控制字符（0x%s）' "$(printf %s "$byte" | tr a-f A-F)" && return ;;
    esac
  done
}

lib=$(dirname "$(readlink -f "$0")")/../lib/vellomar
[ -x "$lib/vellomar" ] || fail "找不到 $lib/vellomar，请重新安装本软件包。"

case ${XDG_DATA_HOME:-} in
/*)
  data=$XDG_DATA_HOME
  bad=$(refused "$data")
  [ -z "$bad" ] || fail "环境变量 XDG_DATA_HOME 的路径中含有$bad，本程序无法在其中使用起始文件夹。请把 XDG_DATA_HOME 设为路径中不含该字符的文件夹（绝对路径），再运行 vellomar。"
  ;;
*)
  [ -n "${HOME:-}" ] || fail "未设置 HOME，无法确定起始文件夹。请设置 HOME，或用环境变量 XDG_DATA_HOME 指定一个文件夹（绝对路径），再运行 vellomar。"
  bad=$(refused "$HOME")
  [ -z "$bad" ] || fail "主文件夹（HOME）的路径中含有$bad，本程序无法在其中使用起始文件夹。请用环境变量 XDG_DATA_HOME 另指一个路径中不含该字符的文件夹（绝对路径），再运行 vellomar。"
  data=$HOME/.local/share
  ;;
esac
start=$data/vellomar

if [ -e "$start" ] && [ ! -d "$start" ]; then
  fail "起始文件夹的位置 $start 已被一个文件占用。请移走或改名这个文件，或用环境变量 XDG_DATA_HOME 指定另一个文件夹，再运行 vellomar。"
fi
mkdir -p "$start" 2>/dev/null ||
  fail "无法创建起始文件夹 $start。请确认 $data 是可写的文件夹且磁盘未满，或用环境变量 XDG_DATA_HOME 指定另一个可写的文件夹，再运行 vellomar。"

cd "$start" 2>/dev/null || fail "无法进入起始文件夹 $start。请确认你有权访问它，再运行 vellomar。"
# The launcher checks the path it finds itself in, links resolved.
bad=$(refused "$(pwd -P)")
[ -z "$bad" ] || fail "起始文件夹 $start 经符号链接后的实际路径中含有$bad，本程序无法使用它。请用环境变量 XDG_DATA_HOME 另指一个路径中不含该字符的文件夹（绝对路径），再运行 vellomar。"

# The launcher runs the banner program from its start folder: a copy of the
# installed one, replaced whole when a newer package brings another.
banner=$start/out_put_ver.exe
if [ -d "$banner" ]; then
  fail "起始文件夹中的 out_put_ver.exe 是一个文件夹（$banner），而这里应是横幅程序。请移走或改名这个文件夹，再运行 vellomar。"
fi
if ! cmp -s "$lib/out_put_ver.exe" "$banner" 2>/dev/null; then
  copy=$start/.out_put_ver.exe.$$
  if ! cp "$lib/out_put_ver.exe" "$copy" 2>/dev/null || ! mv -fT "$copy" "$banner" 2>/dev/null; then
    rm -f "$copy" 2>/dev/null || true
    fail "无法把横幅程序 out_put_ver.exe 放进起始文件夹 $start。请确认该文件夹可写且磁盘未满，再运行 vellomar。"
  fi
fi

exec "$lib/vellomar"
