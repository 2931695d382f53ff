#!/usr/bin/env bash
# Writes a ready default config.ini at PATH unless a file is already there (an
# existing file is never touched). UDP on port 5060, a sample identifier and
# domain, and this host's IPv4 address (TARVEX_ADDRESS overrides it).
# Section and key names are GBK bytes, as the Windows version writes them.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 PATH" >&2
  exit 2
fi
target=$1
if [ -e "$target" ]; then
  echo "config: keeping $target"
  exit 0
fi

ipv4='^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$'
address=${TARVEX_ADDRESS:-}
if [ -n "$address" ] && ! [[ $address =~ $ipv4 ]]; then
  echo "config: TARVEX_ADDRESS=$address is not an IPv4 address, ignored" >&2
  address=
fi
if [ -z "$address" ]; then
  for a in $(hostname -I 2>/dev/null || true); do
    if [[ $a =~ $ipv4 ]]; then address=$a; break; fi
  done
fi
if [ -z "$address" ] && command -v ip >/dev/null; then
  address=$(ip -4 -o addr show scope global 2>/dev/null | awk '{sub(/\/.*/, "", $4); print $4; exit}')
fi
[ -n "$address" ] || address=127.0.0.1

dir=$(dirname "$target")
mkdir -p "$dir"
tmp=$(mktemp "$dir/.config.ini.XXXXXX")
trap 'rm -f "$tmp"' EXIT
chmod "$(printf '%o' $((0666 & ~$(umask))))" "$tmp"

# GBK names. Sections: 本地服务器 互联系统 媒体接收者 云台控制 媒体服务器
s_local='\xB1\xBE\xB5\xD8\xB7\xFE\xCE\xF1\xC6\xF7'
s_peer='\xBB\xA5\xC1\xAA\xCF\xB5\xCD\xB3'
s_recv='\xC3\xBD\xCC\xE5\xBD\xD3\xCA\xD5\xD5\xDF'
s_ptz='\xD4\xC6\xCC\xA8\xBF\xD8\xD6\xC6'
s_media='\xC3\xBD\xCC\xE5\xB7\xFE\xCE\xF1\xC6\xF7'
# Keys: 协议 域 地址 端口 密码 注册时间 心跳周期 下载速度 地址位 速度
k_proto='\xD0\xAD\xD2\xE9'
k_domain='\xD3\xF2'
k_addr='\xB5\xD8\xD6\xB7'
k_port='\xB6\xCB\xBF\xDA'
k_pass='\xC3\xDC\xC2\xEB'
k_expire='\xD7\xA2\xB2\xE1\xCA\xB1\xBC\xE4'
k_beat='\xD0\xC4\xCC\xF8\xD6\xDC\xC6\xDA'
k_speed_dl='\xCF\xC2\xD4\xD8\xCB\xD9\xB6\xC8'
k_ptz_addr='\xB5\xD8\xD6\xB7\xCE\xBB'
k_speed='\xCB\xD9\xB6\xC8'

line() { printf "$1\r\n"; }
{
  line "[$s_local]"
  line "$k_proto=0"                     # 0 UDP, 1 TCP, 2 TLS, 3 DTLS
  line "ID=34020000002000000001"
  line "$k_domain=3402000000"
  line "$k_addr=$address"
  line "$k_port=5060"
  line "$k_pass=12345678"
  line ""
  line "[$s_peer]"
  line "ID=34020000001320000001"
  line "$k_domain=3402000000"
  line "$k_addr=$address"
  line "$k_port=5060"
  line "$k_pass=12345678"
  line "$k_expire=3600"
  line "$k_beat=60"
  line ""
  line "[$s_recv]"
  line "$k_proto=0"                     # UDP
  line "$k_addr=$address"
  line "$k_port=6000"
  line "$k_speed_dl=4"
  line ""
  line "[$s_ptz]"
  line "$k_ptz_addr=1"
  line "$k_speed=128"
  line ""
  line "[$s_media]"
  line "ID=34020000002020000001"
  line "$k_addr=$address"
  line "$k_port=10000"
  line ""
} >"$tmp"

# A hard link never replaces an existing file, so a file that appeared
# meanwhile is kept as well.
if ln "$tmp" "$target" 2>/dev/null; then
  echo "config: wrote $target (SIP over UDP on $address:5060)"
else
  [ -e "$target" ] && { echo "config: keeping $target"; exit 0; }
  echo "config: cannot write $target" >&2
  exit 1
fi
