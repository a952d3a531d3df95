#!/usr/bin/env bash
# The library on a real PC/SC stack without hardware: a private pcscd with
# vsmartcard's virtual reader (vpcd), the simulated card plugged into it by
# pelkin-sim --vpcd, and libostrel reaching it through HOLLINK_READER=pcsc.
# Tools we did not write (opensc-tool, scriptor) read the same card.
#
#   pcsc_reader_test.sh OUT_DIR E2E_TESTS
#
# Everything runs in its own user, mount and network namespaces: /run is a
# private tmpfs (pcscd's socket and pid file) and the vpcd ports live on a
# private loopback. Missing tools or namespaces skip the test (exit 77); under
# CI (CI=true) a skip is a failure, so the test cannot stop running unnoticed.
set -u

skip() {
  echo "SKIP: $*"
  if [ "${CI:-}" = true ]; then
    echo "FAIL: CI must run this test"
    exit 1
  fi
  exit 77
}

if [ -z "${PCSC_TEST_INSIDE:-}" ]; then
  [ $# -eq 2 ] || { echo "usage: $0 OUT_DIR E2E_TESTS" >&2; exit 2; }
  for tool in pcscd opensc-tool scriptor unshare ip timeout; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh)"
  done
  [ -e /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || skip "vsmartcard-vpcd is not installed"
  unshare -rmn true 2>/dev/null || skip "user, mount and network namespaces are not available"
  export PCSC_TEST_INSIDE=1
  exec timeout -k 3 55 unshare -rmn bash "$0" "$@"
fi

OUT=$1
E2E=$2
WORK=$(mktemp -d)
PIDS=()
failures=0

stop() {
  # The cards first (they save their state), then pcscd; each waited on.
  local pid
  for pid in "${PIDS[@]}"; do
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  PIDS=()
}
finish() {
  stop
  if [ "$failures" -ne 0 ]; then
    echo "---- pcscd log"; tail -n 40 "$WORK/pcscd.log"
    echo "---- pelkin-sim logs"; cat "$WORK"/sim*.log
  fi
  rm -rf "$WORK"
}
trap finish EXIT

check() {  # check DESCRIPTION COMMAND...: runs a check, reports it
  local what=$1
  shift
  local began=$SECONDS
  if "$@" >"$WORK/out" 2>&1; then
    echo "ok   $what ($((SECONDS - began)) s)"
  else
    echo "FAIL $what"
    sed 's/^/     /' "$WORK/out"
    failures=$((failures + 1))
  fi
}

mount -t tmpfs tmpfs /run || skip "cannot mount a private /run"
mkdir -p /run/pcscd
ip link set lo up || skip "cannot bring up the private loopback"

# vpcd listens on PORT (slot 0) and PORT+1 (slot 1).
PORT=$((20000 + RANDOM % 40000))
mkdir "$WORK/conf"
cat >"$WORK/conf/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:$PORT
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    $PORT
CONF

export PCSCLITE_CSOCK_NAME=/run/pcscd/pcscd.comm
export OSTREL_HOLLINK="$OUT/libhollink.so"
SLOT0="Virtual PCD 00 00"
SLOT1="Virtual PCD 00 01"

pcscd --foreground --config "$WORK/conf" >"$WORK/pcscd.log" 2>&1 &
PIDS+=($!)

# A Level 3 card for slot 1, made by the in-process simulator with card_life's keys.
check "a Level 3 card made in process" \
  env HOLLINK_READER="sim:state=$WORK/level3.json,seed=3" "$OUT/card_life"

# Slot 0: a fresh card; slot 1: the Level 3 card.
"$OUT/pelkin-sim" --vpcd "127.0.0.1:$PORT" --seed 5 --state "$WORK/fresh.json" \
  >"$WORK/sim0.log" 2>&1 &
SIM0=$!
PIDS=("$SIM0" "${PIDS[@]}")
"$OUT/pelkin-sim" --vpcd "127.0.0.1:$((PORT + 1))" --state "$WORK/level3.json" \
  >"$WORK/sim1.log" 2>&1 &
PIDS=("$!" "${PIDS[@]}")

# 1. The fresh card: personalized over T=CL and committed; the switch to Level 3
#    needs layer 4 at Level 1, which the card_life run reports as not supported.
life_fresh() {
  HOLLINK_READER="pcsc:$SLOT0,wait=5000" "$OUT/card_life" >"$WORK/life0" 2>&1
  local rc=$?
  cat "$WORK/life0"
  [ $rc -eq 2 ] && grep -q "commit perso: Level 0 -> 1 .*status 0x00$" "$WORK/life0" &&
    grep -q "RATS (CID 10) .*not supported by this reader" "$WORK/life0"
}
check "card_life personalizes a fresh card over PC/SC" life_fresh

# 2. Level 1 CRYPTO1 block commands on the now personalized card.
check "Level 1 CRYPTO1 block commands" \
  env OSTREL_E2E_READER="pcsc:$SLOT0" "$E2E" --gtest_filter='Level1.*'

# 3. The Level 3 card: card_life's Level 3 part, then the end-to-end Level 3 suite.
life_level3() {
  HOLLINK_READER="pcsc:$SLOT1,wait=5000" "$OUT/card_life" >"$WORK/life1" 2>&1
  local rc=$?
  cat "$WORK/life1"
  [ $rc -eq 0 ] && grep -q "card at Level 3" "$WORK/life1"
}
check "card_life's Level 3 part" life_level3
check "end-to-end Level 3 suite" \
  env OSTREL_E2E_READER="pcsc:$SLOT1" "$E2E" --gtest_filter='Level3.*'

# 4. Independent clients against the card in slot 0 (Level 1, 4K: storage-card ATR).
atr() {
  opensc-tool -r 0 -a && opensc-tool -r 0 -a | grep -qi "^3b:8f:80:01:80:4f:0c:a0:00:00:03:06:03:00:37:00:00:00:00:"
}
check "opensc-tool reads the ATR" atr
uid() {
  local expected
  expected=$(sed -n 's/^ *ATQ .* UID \(.*\)$/\1/p' "$WORK/life0" | head -n 1)
  opensc-tool -r 0 -c default -s FF:CA:00:00:00 &&
    opensc-tool -r 0 -c default -s FF:CA:00:00:00 | tr -d '\n' | grep -q "SW1=0x90, SW2=0x00.*$expected"
}
check "opensc-tool reads the UID" uid
crypto1() {
  # Sector 2 still has its factory keys; block 8 reads back as zeros.
  printf '%s\n' "FF 82 00 00 06 FF FF FF FF FF FF" "FF 86 00 00 05 01 00 08 60 00" \
    "FF B0 00 08 10" >"$WORK/crypto1.script"
  scriptor -r "$SLOT0" "$WORK/crypto1.script" >"$WORK/scriptor" 2>&1
  cat "$WORK/scriptor"
  [ "$(grep -c '90 00 : Normal processing' "$WORK/scriptor")" -eq 3 ] &&
    grep -q '^< 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 *$' "$WORK/scriptor"
}
check "scriptor runs a CRYPTO1 script" crypto1

# 5. Readers with raw frames: a fresh card in a transparent-session reader and in a
#    PN532 reader goes through its whole life (personalization, Level 1, the
#    switch to Level 3 from Level 1, Level 3) with the card's own ATQ and SAK.
kill -TERM "$SIM0" 2>/dev/null
wait "$SIM0" 2>/dev/null
PIDS=("${PIDS[@]/$SIM0/}")
card_in_slot0() {  # card_in_slot0 yes|no: waits up to 5 s for the slot to show it so
  local _
  for _ in $(seq 50); do
    if opensc-tool -r 0 -a >/dev/null 2>&1; then [ "$1" = yes ] && return 0
    else [ "$1" = no ] && return 0; fi
    sleep 0.1
  done
  return 1
}
life_kind() {
  local kind=$1 pid rc
  card_in_slot0 no
  "$OUT/pelkin-sim" --vpcd "127.0.0.1:$PORT" --pcsc-reader "$kind" --seed 5 \
    --state "$WORK/$kind.json" >"$WORK/sim-$kind.log" 2>&1 &
  pid=$!
  card_in_slot0 yes
  local start=$SECONDS
  HOLLINK_PCSC_TRACE=1 HOLLINK_READER="pcsc:$SLOT0,wait=5000" "$OUT/card_life" \
    >"$WORK/life-$kind" 2>"$WORK/trace-$kind"
  rc=$?
  cat "$WORK/life-$kind"
  echo "($((SECONDS - start)) s)"
  # The in-process simulator shows what the card itself answers.
  HOLLINK_READER="sim:seed=5" "$OUT/card_life" >"$WORK/life-direct" 2>&1
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  local atq direct
  atq=$(grep -m1 "ATQ" "$WORK/life-$kind")
  direct=$(grep -m1 "ATQ" "$WORK/life-direct")
  echo "pcsc:   $atq"
  echo "direct: $direct"
  [ $rc -eq 0 ] || tail -n 30 "$WORK/trace-$kind"
  [ $rc -eq 0 ] && grep -q "card life complete" "$WORK/life-$kind" && [ "$atq" = "$direct" ]
}

# 6. The same through ostrel, for every kind: perso and commit, Level 1 value,
#    the switch from Level 1, Level 3 work. A generic reader personalizes over
#    T=CL and refuses the switch from Level 1 with a plain sentence.
hex16() { local b; b=$(printf '%02X' "$1"); printf '%s' "$b$b$b$b$b$b$b$b$b$b$b$b$b$b$b$b"; }
{
  echo '{"FileType": "mfpkeys", "SectorKeys": {'
  echo "\"1\": {\"KeyA\": \"$(hex16 1)\", \"KeyB\": \"$(hex16 2)\", \"Crypto1KeyA\": \"FFFFFFFFFFFF\", \"Crypto1KeyB\": \"FFFFFFFFFFFF\"}"
  echo '}, "CardKeys": {'
  echo "\"9000\": \"$(hex16 0x11)\", \"9001\": \"$(hex16 0x22)\", \"9002\": \"$(hex16 0x33)\", \"9003\": \"$(hex16 0x44)\""
  echo '}}'
} >"$WORK/keys.json"
chmod 600 "$WORK/keys.json"
cli_kind() {
  local kind=$1 pid ok=0
  card_in_slot0 no
  "$OUT/pelkin-sim" --vpcd "127.0.0.1:$PORT" --pcsc-reader "$kind" --seed 9 \
    --state "$WORK/$kind-cli.json" >"$WORK/sim-$kind-cli.log" 2>&1 &
  pid=$!
  card_in_slot0 yes
  local ostrel=("$OUT/ostrel" --reader "pcsc:$SLOT0")
  {
    "${ostrel[@]}" perso --keys "$WORK/keys.json" --commit || ok=1
    if [ "$kind" = generic ]; then
      "${ostrel[@]}" info | grep -q "no raw frames" || ok=1
      "${ostrel[@]}" value --block 5 --key FFFFFFFFFFFF --inc 5 2>&1 | tee "$WORK/refusal"
      grep -q "not supported by this reader" "$WORK/refusal" || ok=1
      "${ostrel[@]}" switch --level 3 --key "$(hex16 0x44)" 2>&1 | tee "$WORK/refusal"
      grep -q "not supported by this reader" "$WORK/refusal" || ok=1
    else
      "${ostrel[@]}" info | grep -q "raw frames through" &&
        "${ostrel[@]}" value --block 5 --key FFFFFFFFFFFF --set 100 &&
        "${ostrel[@]}" value --block 5 --key FFFFFFFFFFFF --inc 5 | grep -q 105 &&
        "${ostrel[@]}" switch --level 3 --key "$(hex16 0x44)" &&
        "${ostrel[@]}" write --block 4 --keys "$WORK/keys.json" --data 0F0E0D0C0B0A09080706050403020100 |
        grep -q "0F 0E 0D" || ok=1  # AES keys: only a Level 3 card takes them
    fi
  } >"$WORK/cli-$kind" 2>&1
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  cat "$WORK/cli-$kind"
  return $ok
}

# 7. Quillon in an offscreen window: the Level 0 page's commands, Level 1, the
#    upgrade dialog and Level 3, on a fresh card in each kind of reader.
story_kind() {
  local kind=$1 pid rc raw=1
  [ "$kind" = generic ] && raw=0
  card_in_slot0 no
  "$OUT/pelkin-sim" --vpcd "127.0.0.1:$PORT" --pcsc-reader "$kind" --seed 11 \
    --state "$WORK/$kind-story.json" >"$WORK/sim-$kind-story.log" 2>&1 &
  pid=$!
  card_in_slot0 yes
  QT_QPA_PLATFORM=offscreen QUILLON_STORY_READER="pcsc:$SLOT0" \
    QUILLON_STORY_STATE="$WORK/$kind-story.json" QUILLON_STORY_RAW=$raw \
    "$OUT/app_ops_story_tests" --gtest_filter='Story.ThroughAPcscReader' >"$WORK/story-$kind" 2>&1
  rc=$?
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  cat "$WORK/story-$kind"
  [ $rc -eq 0 ] && ! grep -q SKIPPED "$WORK/story-$kind"
}

for kind in part3 pn532; do
  check "$kind reader: the whole card life with the card's own ATQ and SAK" life_kind "$kind"
done
for kind in generic part3 pn532; do
  if [ -x "$OUT/app_ops_story_tests" ]; then
    check "$kind reader: Quillon's Level 0 page, Level 1, upgrade dialog, Level 3" story_kind "$kind"
  fi
  check "$kind reader: ostrel perso, values, switch and Level 3 as far as the reader carries" cli_kind "$kind"
done

stop
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all PC/SC checks passed"
