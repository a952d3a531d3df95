#!/usr/bin/env bash
# The production line through the programs' own surfaces: a queue of cards in
# pelkin-sim over TCP, `ostrel batch` to Level 3 with diversified keys; every key
# on every card is checked with a key this test computes itself; the same queue
# again is only verified (the state file stays as it was); a card taken off half
# way is "interrupted"; two readers append to one journal.
# Usage: batch_line.sh OSTREL PELKIN_SIM CARD_LINE_TOOL
set -euo pipefail
ostrel=$1
pelkin_sim=$2
tool=$3
work=$(mktemp -d)
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# start NAME ARGS...: runs pelkin-sim in the background; sets $address and $server.
start() {
  local name=$1
  shift
  "$pelkin_sim" --listen 127.0.0.1:0 "$@" > "$work/$name.out" &
  server=$!
  servers+=("$server")
  for _ in $(seq 200); do
    [ -s "$work/$name.out" ] && break
    sleep 0.05
  done
  address=$(head -n1 "$work/$name.out" | sed -n 's/^listening //p')
  [ -n "$address" ] || fail "pelkin-sim named no address"
}
stop() {
  kill "$1"
  wait "$1" 2>/dev/null || true
}
count() { grep -c "$1" "$2" || true; }

master_a=000102030405060708090A0B0C0D0E0F
master_b=F0E1D2C3B4A5968778695A4B3C2D1E0F
card_master=00112233445566778899AABBCCDDEEFF
system_id=4E585020416275
{
  echo '{"FileType": "mfpkeys", "Diversify": true, "SystemIdentifier": "'$system_id'", "SectorKeys": {'
  for s in $(seq 0 39); do
    sep=","
    [ "$s" = 39 ] && sep=""
    echo "\"$s\": {\"KeyA\": \"$master_a\", \"KeyB\": \"$master_b\", \"Crypto1KeyA\": \"FFFFFFFFFFFF\", \"Crypto1KeyB\": \"FFFFFFFFFFFF\"}$sep"
  done
  echo "}, \"CardKeys\": {\"9000\": \"$card_master\", \"9001\": \"$card_master\","
  echo "\"9002\": \"$card_master\", \"9003\": \"$card_master\"}}"
} > "$work/keys.json"

# ---- A queue of three 4K cards, personalized to Level 3.
start line1 --cards 3 --seed 11 --variant X4K4 --state "$work/queue.json"
"$ostrel" --reader "$address" --json batch --keys "$work/keys.json" --journal "$work/journal" \
  --count 3 > "$work/batch.out" 2> "$work/batch.err" || { cat "$work/batch.err" >&2; fail "batch failed"; }
stop "$server"
[ "$(wc -l < "$work/journal")" = 3 ] || fail "the journal has no line per card"
[ "$(count '"result":"done"' "$work/journal")" = 3 ] || { cat "$work/journal" >&2; fail "not every card done"; }
cmp -s "$work/journal" "$work/batch.out" || fail "--json did not print the journal's lines"
grep -qi "$master_a\|$master_b\|$card_master" "$work/journal" && fail "the journal holds a key"
for field in uid time reader result; do
  [ "$(count "\"$field\":" "$work/journal")" = 3 ] || fail "a line without \"$field\""
done
grep -Eq '"time":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"' "$work/journal" ||
  fail "the time is not ISO 8601"

# ---- Every key on every card is the key derived from its UID: each card (the
# queue starts again from its first card) is read whole with keys computed here.
cp "$work/queue.json" "$work/queue.before"
start check --state "$work/queue.json" --cards 3
uids=()
for card in 1 2 3; do
  "$ostrel" --reader "$address" --json info > "$work/info.json"
  uid=$(sed -n 's/.*"UID": "\([0-9A-F]*\)".*/\1/p' "$work/info.json")
  grep -q '"SecurityLevel": 3' "$work/info.json" || fail "card $card is not at Level 3"
  grep -q "\"uid\":\"$uid\"" "$work/journal" || fail "card $uid is not in the journal"
  uids+=("$uid")
  for which in A B; do
    master=$master_a
    odd=0
    if [ $which = B ]; then master=$master_b; odd=1; fi
    {
      echo '{"FileType": "mfpkeys", "SectorKeys": {'
      for s in $(seq 0 39); do
        sep=","
        [ "$s" = 39 ] && sep=""
        address_hex=$(printf '%04X' $((0x4000 + 2 * s + odd)))
        echo "\"$s\": {\"Key$which\": \"$("$tool" key $master "$uid" "$address_hex" $system_id)\"}$sep"
      done
      echo '}}'
    } > "$work/derived.json"
    # Key B may not read every block under the transport conditions, but every
    # sector must open with it.
    got=0
    "$ostrel" --reader "$address" --json dump --keys "$work/derived.json" -o "$work/dump.json" \
      > /dev/null 2> "$work/dump.err" || got=$?
    [ "$got" = 0 ] || [ "$got" = 4 ] || { cat "$work/dump.err" >&2; fail "card $uid key $which: dump exited $got"; }
    [ "$(count '"Status": "key refused"' "$work/dump.json")" = 0 ] || fail "card $uid key $which: a sector refused the key"
    [ "$(count '"Status": "key missing"' "$work/dump.json")" = 0 ] || fail "card $uid key $which: a sector not tried"
    [ "$(count '"Status": "read"' "$work/dump.json")" = 40 ] || [ $which = B ] || fail "card $uid key A: not 40 sectors read"
  done
  # The card keys: a First Authenticate with each key computed here.
  for k in 9000 9001; do
    HOLLINK_READER=$address "$tool" auth $k "$("$tool" key $card_master "$uid" $k $system_id)" ||
      fail "card $uid: card key $k is not the derived one"
  done
  HOLLINK_READER=$address "$tool" next || fail "the card could not be released"
done
[ "$(printf '%s\n' "${uids[@]}" | sort -u | wc -l)" = 3 ] || fail "the queue's UIDs are not distinct"
stop "$server"
cmp -s "$work/queue.json" "$work/queue.before" || fail "reading the cards changed the state file"

# ---- The same queue again: every card is verified and reported, nothing written.
start again --state "$work/queue.json" --cards 3
"$ostrel" --reader "$address" batch --keys "$work/keys.json" --journal "$work/journal" --count 3 \
  > "$work/again.out" 2> "$work/again.err" || { cat "$work/again.err" >&2; fail "second batch failed"; }
stop "$server"
[ "$(count '"result":"already done"' "$work/journal")" = 3 ] || { cat "$work/journal" >&2; fail "not all already done"; }
cmp -s "$work/queue.json" "$work/queue.before" || fail "the second batch changed the cards"

# ---- A card taken off half way is interrupted; the next card is served.
start takeoff --cards 3 --seed 12 --variant X2K4 --take-off 2:20
got=0
"$ostrel" --reader "$address" batch --keys "$work/keys.json" --journal "$work/journal2" --count 3 \
  > "$work/takeoff.out" 2> "$work/takeoff.err" || got=$?
stop "$server"
[ "$got" = 4 ] || { cat "$work/takeoff.err" >&2; fail "batch with a card taken off exited $got, expected 4"; }
[ "$(count '"result":"done"' "$work/journal2")" = 2 ] || { cat "$work/journal2" >&2; fail "the other cards were not done"; }
sed -n 2p "$work/journal2" | grep -q '"result":"interrupted".*"step":"personalization"' ||
  { cat "$work/journal2" >&2; fail "the card taken off is not interrupted at its step"; }
# Laid on again (the queue from its first card), the interrupted card is left alone.
start takeoff2 --cards 3 --seed 12 --variant X2K4
got=0
"$ostrel" --reader "$address" batch --keys "$work/keys.json" --journal "$work/journal2" --count 2 \
  > /dev/null 2> "$work/takeoff2.err" || got=$?
stop "$server"
[ "$got" = 4 ] || { cat "$work/takeoff2.err" >&2; fail "the interrupted card again: exit $got"; }
sed -n 5p "$work/journal2" | grep -q '"result":"failed".*"step":"journal"' ||
  { cat "$work/journal2" >&2; fail "the interrupted card was not left for the operator"; }

# ---- Two readers, two processes, one journal.
start reader1 --cards 4 --seed 21 --variant X2K7
first=$address
start reader2 --cards 4 --seed 22 --variant X2K4
second=$address
"$ostrel" --reader "$first" batch --keys "$work/keys.json" --journal "$work/shared" --count 4 \
  > /dev/null 2> "$work/r1.err" &
one=$!
"$ostrel" --reader "$second" batch --keys "$work/keys.json" --journal "$work/shared" --count 4 \
  > /dev/null 2> "$work/r2.err" &
two=$!
wait $one || { cat "$work/r1.err" >&2; fail "the first reader's batch failed"; }
wait $two || { cat "$work/r2.err" >&2; fail "the second reader's batch failed"; }
[ "$(wc -l < "$work/shared")" = 8 ] || fail "the shared journal has not 8 lines"
[ "$(grep -c '^{.*"result":"done".*}$' "$work/shared")" = 8 ] || { cat "$work/shared" >&2; fail "a torn or failed line"; }
[ "$(sed 's/.*"uid":"\([0-9A-F]*\)".*/\1/' "$work/shared" | sort -u | wc -l)" = 8 ] || fail "a card twice"
[ "$(count "\"reader\":\"$first\"" "$work/shared")" = 4 ] || fail "the first reader's lines"
[ "$(count "\"reader\":\"$second\"" "$work/shared")" = 4 ] || fail "the second reader's lines"
echo "production line: ok"
