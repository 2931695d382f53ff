#!/usr/bin/env bash
# Takes the README screenshot from the real program: build/tarvex, offscreen,
# driven by an operator script, opens the live view of a test camera on
# 127.0.0.1 and saves a picture of its window. The camera is SIPp for its SIP
# side (registration, catalog, device information and status, the answer to
# INVITE, the BYE) and tests/media/recv/camsim.py for its media, sending the
# pictures of an ffmpeg-made H.264 program stream (-f vob) as RTP over UDP.
#
#   bash scripts/screenshot.sh [OUT.png]    (default docs/shell.png; needs build/tarvex)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${1:-$root/docs/shell.png}
for tool in "$build/tarvex" /usr/bin/sipp ffmpeg /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Free ports on 127.0.0.1: SIP of the program and of the camera, and an even
# media port whose successor (RTCP) is free too.
read -r sip cam media < <(/usr/bin/python3 - <<'EOF'
import socket
def free(kind):
    s = socket.socket(socket.AF_INET, kind); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
def pair():
    while True:
        p = free(socket.SOCK_DGRAM) & ~1
        try:
            a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); a.bind(("0.0.0.0", p))
            b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); b.bind(("0.0.0.0", p + 1))
            a.close(); b.close(); return p
        except OSError:
            pass
print(free(socket.SOCK_DGRAM), free(socket.SOCK_DGRAM), pair())
EOF
)

device=34010000001320000001
channel=34010000001310000001

# config.ini as the Windows version writes it: GBK names, CR LF.
printf '%s\r\n' "[本地服务器]" "协议=0" "ID=34020000002000000001" "域=3402000000" "地址=127.0.0.1" \
  "端口=$sip" "" "[媒体接收者]" "协议=0" "地址=127.0.0.1" "端口=$media" "下载速度=4" "" \
  "[云台控制]" "地址位=0" "速度=50" | iconv -f UTF-8 -t GBK > "$work/config.ini"

# The camera's clip: 30 s of ffmpeg's test picture, H.264 without B-frames in
# an MPEG-2 program stream, and the elementary stream ffmpeg extracts from it.
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 30 -c:v libx264 \
  -preset veryfast -g 25 -bf 0 -pix_fmt yuv420p -f vob "$work/cam.vob"
ffmpeg -nostdin -v error -y -i "$work/cam.vob" -c copy -f h264 "$work/cam.h264"

# SIPp: registers, answers the queries of the follow-up chain, and answers
# INVITE with a video line.
message() { # $1 tag, $2 body lines
  cat <<EOF
  <send><![CDATA[
MESSAGE sip:34020000002000000001@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]x[call_id]
From: <sip:$device@[local_ip]:[local_port]>;tag=[pid]T$1x[call_id]
To: <sip:34020000002000000001@[remote_ip]:[remote_port]>
Call-ID: [call_id]
CSeq: $1 MESSAGE
Content-Type: Application/MANSCDP+xml
Max-Forwards: 70
User-Agent: IPC
Content-Length: [len]

$2
]]></send>
  <recv response="200"/>
  <nop next="end"/>
EOF
}
cat > "$work/cam.xml" <<EOF
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="camera">
  <pause milliseconds="300"/>
  <send><![CDATA[
REGISTER sip:34020000002000000001@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/[transport] [local_ip]:[local_port];rport;branch=[branch]
From: <sip:$device@[local_ip]:[local_port]>;tag=[pid]R[call_number]
To: <sip:$device@[local_ip]:[local_port]>
Call-ID: [call_id]
CSeq: 1 REGISTER
Contact: <sip:$device@[local_ip]:[local_port]>
Max-Forwards: 70
Expires: 3600
User-Agent: IPC
Content-Length: 0

]]></send>
  <recv response="200"/>
  <pause milliseconds="120000"/>
</scenario>
EOF
{
  cat <<'EOF'
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="camera answers">
  <recv request="MESSAGE|INVITE" regexp_match="true">
    <action>
      <ereg regexp="^([A-Z]+) " search_in="msg" assign_to="wm,method"/>
      <ereg regexp="<CmdType>([A-Za-z]+)</CmdType>" search_in="body" assign_to="wc,cmd"/>
      <ereg regexp="<SN>([0-9]+)</SN>" search_in="body" assign_to="ws,sn"/>
      <log message="[$wm] [$wc] [$ws]"/>
      <strcmp assign_to="c0" variable="method" value="INVITE"/>
      <test assign_to="isInvite" variable="c0" compare="equal" value="0"/>
      <strcmp assign_to="c1" variable="cmd" value="Catalog"/>
      <test assign_to="isCatalog" variable="c1" compare="equal" value="0"/>
      <strcmp assign_to="c2" variable="cmd" value="DeviceInfo"/>
      <test assign_to="isInfo" variable="c2" compare="equal" value="0"/>
      <strcmp assign_to="c3" variable="cmd" value="DeviceStatus"/>
      <test assign_to="isStatus" variable="c3" compare="equal" value="0"/>
    </action>
  </recv>
  <nop next="invite" test="isInvite"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]A[call_number]
[last_Call-ID:]
[last_CSeq:]
User-Agent: IPC
Content-Length: 0

]]></send>
  <nop next="catalog" test="isCatalog"/>
  <nop next="info" test="isInfo"/>
  <nop next="status" test="isStatus"/>
  <nop next="end"/>
  <label id="catalog"/>
EOF
  message 20 "<?xml version=\"1.0\" encoding=\"GB2312\"?>
<Response>
<CmdType>Catalog</CmdType>
<SN>[\$sn]</SN>
<DeviceID>$device</DeviceID>
<SumNum>2</SumNum>
<DeviceList Num=\"2\">
<Item>
<DeviceID>$channel</DeviceID>
<Name>Gate</Name>
<Manufacturer>Test</Manufacturer>
<Status>ON</Status>
</Item>
<Item>
<DeviceID>34010000001310000002</DeviceID>
<Name>Yard</Name>
<Manufacturer>Test</Manufacturer>
<Status>ON</Status>
</Item>
</DeviceList>
</Response>"
  echo '  <label id="info"/>'
  message 21 "<?xml version=\"1.0\"?>
<Response>
<CmdType>DeviceInfo</CmdType>
<SN>[\$sn]</SN>
<DeviceID>$device</DeviceID>
<DeviceName>IPC</DeviceName>
<Result>OK</Result>
</Response>"
  echo '  <label id="status"/>'
  message 22 "<?xml version=\"1.0\"?>
<Response>
<CmdType>DeviceStatus</CmdType>
<SN>[\$sn]</SN>
<DeviceID>$device</DeviceID>
<Online>ONLINE</Online>
<Result>OK</Result>
</Response>"
  cat <<EOF
  <label id="invite"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]I[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:$device@[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=$channel 0 0 IN IP4 127.0.0.1
s=Play
c=IN IP4 127.0.0.1
t=0 0
m=video 15060 RTP/AVP 96
a=sendonly
a=rtpmap:96 PS/90000
y=0100000001
]]></send>
  <recv request="ACK"/>
  <recv request="BYE"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
  <label id="end"/>
</scenario>
EOF
} > "$work/cam-ooc.xml"

# The operator: the chain runs, the first channel is selected, the live view
# opens, and after a few seconds of pictures the window is saved.
cat > "$work/shot.txt" <<EOF
wait-registered 30000
wait-log <Online>ONLINE</Online> 30000
tree $channel
click 1081 0
wait-text 1090 帧率 30000
sleep 5000
shot shot.png
exit
EOF

(cd "$work" && QT_QPA_PLATFORM=offscreen exec "$build/tarvex" --script shot.txt > tarvex.out 2>&1) &
tarvex=$!
for _ in $(seq 200); do grep -q "SIP endpoint start" "$work/tarvex.out" 2>/dev/null && break; sleep 0.05; done
/usr/bin/sipp "127.0.0.1:$sip" -sf "$work/cam.xml" -oocsf "$work/cam-ooc.xml" -i 127.0.0.1 -p "$cam" \
  -m 1 -t u1 -nostdin -timeout 150s > "$work/sipp.out" 2>&1 &
pids+=($!)
# The camera sends once the receiver is up (the answer started it), from the
# clip's first picture on.
hex=$(printf ':%04X ' "$media")
for _ in $(seq 600); do grep -q "$hex" /proc/net/udp && break; sleep 0.05; done
/usr/bin/python3 "$root/tests/media/recv/camsim.py" --es "$work/cam.h264" --transport udp \
  --host 127.0.0.1 --bind 127.0.0.1 --port "$media" --fps 25 > "$work/camsim.out" 2>&1 &
pids+=($!)
if ! wait "$tarvex"; then
  cat "$work/tarvex.out" >&2
  echo "screenshot: the operator script failed" >&2
  exit 1
fi
cp "$work/shot.png" "$out"
echo "screenshot: $out"
