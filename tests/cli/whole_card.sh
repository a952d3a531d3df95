#!/usr/bin/env bash
# A card's whole life through the ostrel program: personalize a fresh simulated
# card, switch it to Level 3, write data, dump, wipe, restore, dump again (the two
# dumps must be equal), and the refusals: other keys, another card size, a locking
# trailer, malformed files.
# Usage: whole_card.sh OSTREL PELKIN_SIM sim|tcp
set -euo pipefail
ostrel=$1
pelkin_sim=$2
mode=$3
work=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }

if [ "$mode" = tcp ]; then
  "$pelkin_sim" --listen 127.0.0.1:0 --variant X4K4 --seed 7 > "$work/server.out" &
  server=$!
  for _ in $(seq 100); do
    [ -s "$work/server.out" ] && break
    sleep 0.05
  done
  address=$(head -n1 "$work/server.out" | sed -n 's/^listening //p')
  [ -n "$address" ] || fail "pelkin-sim named no address"
  reader=$address
else
  reader="sim:state=$work/card.json,variant=X4K4,seed=7"
fi
run() { "$ostrel" --reader "$reader" "$@"; }
# Runs ostrel and checks its exit code: expect CODE ARGS...
expect() {
  local code=$1
  shift
  local got=0
  "$ostrel" --reader "$reader" "$@" > "$work/out" 2> "$work/err" || got=$?
  [ "$got" = "$code" ] || { cat "$work/out" "$work/err" >&2; fail "ostrel $* exited $got, expected $code"; }
}
hex16() {
  local byte
  byte=$(printf '%02X' "$1")
  printf '%s' "$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte$byte"
}

# Keys: an AES pair per sector, the transport CRYPTO1 keys, the four card keys,
# and a field this program does not know.
{
  echo '{"Created": "test", "FileType": "mfpkeys", "Comment": "kept", "SectorKeys": {'
  for s in $(seq 0 39); do
    sep=","
    [ "$s" = 39 ] && sep=""
    echo "\"$s\": {\"KeyA\": \"$(hex16 $((s + 1)))\", \"KeyB\": \"$(hex16 $((s + 0x81)))\", \"Crypto1KeyA\": \"FFFFFFFFFFFF\", \"Crypto1KeyB\": \"FFFFFFFFFFFF\"}$sep"
  done
  echo '}, "CardKeys": {'
  echo "\"9000\": \"$(hex16 0x11)\", \"9001\": \"$(hex16 0x22)\", \"9002\": \"$(hex16 0x33)\", \"9003\": \"$(hex16 0x44)\""
  echo '}}'
} > "$work/keys.json"

# ---- Malformed input: a clear message, exit 2, and no frame sent.
export OSTREL_TRACE="$work/refused.trace"
echo '{' > "$work/broken.json"
echo '{"FileType": "mfpkeys", "SectorKeys": {"1": {"KeyA": "FFFFFFFFFF"}}}' > "$work/shortkey.json"
expect 2 dump --keys "$work/broken.json"
grep -q "not valid JSON" "$work/err" || fail "no message for broken JSON"
expect 2 dump --keys "$work/shortkey.json"
grep -q "KeyA" "$work/err" || fail "no message naming the short key"
expect 2 restore "$work/keys.json" --keys "$work/keys.json"
grep -q "not a card dump" "$work/err" || fail "a key file taken for a dump"
expect 2 write --block 4 --key FFFFFFFFFFFF --data 0011
expect 2 write --block 0 --key FFFFFFFFFFFF --data 00112233445566778899AABBCCDDEEFF
expect 2 switch --level 3 --key 1234
[ ! -s "$OSTREL_TRACE" ] || fail "bad input sent frames"
unset OSTREL_TRACE

# ---- Personalize, switch to Level 3.
run info | grep -q "Level 0" || fail "a fresh card is not at Level 0"
run perso --keys "$work/keys.json" --commit > /dev/null
run info | grep -q "Level 1" || fail "the commit did not take the card to Level 1"
run switch --level 3 --key "$(hex16 0x44)" > /dev/null
run --json info > "$work/info.json"
grep -q '"SecurityLevel": 3' "$work/info.json" || fail "the switch did not take the card to Level 3"
grep -q '"Size": "4K"' "$work/info.json" || fail "a 4K card not recognized"

# ---- Data in a small and a large sector, a value block.
run write --block 4 --keys "$work/keys.json" --data 00112233445566778899AABBCCDDEEFF > /dev/null
run write --block 6 --keys "$work/keys.json" --data 0F0E0D0C0B0A09080706050403020100 > /dev/null
run write --block 145 --keys "$work/keys.json" --data CAFEBABE000000000000000000000001 > /dev/null
run value --block 9 --keys "$work/keys.json" --set 1000 > /dev/null
run value --block 9 --keys "$work/keys.json" --inc 234 | grep -q "value 1234" || fail "value increment"
run read --block 4 --keys "$work/keys.json" | grep -q "00 11 22 33   44 55" || fail "read back block 4"

OSTREL_TRACE="$work/dump.trace" run dump --keys "$work/keys.json" -o "$work/first.json" --bin "$work/first.bin" > /dev/null
[ "$(stat -c %s "$work/first.bin")" = 4096 ] || fail "the binary image is not 256 blocks"
grep -q '"145": "CAFEBABE000000000000000000000001"' "$work/first.json" || fail "block 145 not in the dump"
"$ostrel" trace decode "$work/dump.trace" > "$work/decoded"
grep -q "First Authenticate, key 0x4000" "$work/decoded" || fail "trace: no First Authenticate"
grep -q "Following Authenticate, key 0x4002" "$work/decoded" || fail "trace: no Following Authenticate"
grep -q "Read (encrypted data, no command MAC, answer MAC), block 0x0080, 16 blocks" "$work/decoded" ||
  fail "trace: a 16-block sector is not read in one command"
grep -q "counters: R_Ctr 1, W_Ctr 0" "$work/decoded" || fail "trace: no counters"
"$ostrel" --json trace decode "$work/dump.trace" | grep -q '"retries": 0' || fail "trace: JSON"

# ---- Wipe, restore, dump again: equal.
zeros=00000000000000000000000000000000
for b in 4 6 9 145; do run write --block $b --keys "$work/keys.json" --data $zeros > /dev/null; done
run restore "$work/first.json" --keys "$work/keys.json" --dry-run > "$work/plan"
grep -q "4 blocks differ" "$work/plan" || { cat "$work/plan"; fail "dry run does not list the 4 wiped blocks"; }
run read --block 4 --keys "$work/keys.json" | grep -q "00 00 00 00   00 00" || fail "the dry run wrote"
run restore "$work/first.json" --keys "$work/keys.json" > /dev/null
run dump --keys "$work/keys.json" -o "$work/second.json" --bin "$work/second.bin" > /dev/null
cmp "$work/first.json" "$work/second.json" || fail "the dumps differ after the restore"
cmp "$work/first.bin" "$work/second.bin" || fail "the images differ after the restore"

# ---- Refusals: nothing is written.
run write --block 4 --keys "$work/keys.json" --data $zeros > /dev/null
sed -e "s/\"KeyA\": \"$(hex16 3)\"/\"KeyA\": \"$(hex16 0x77)\"/" \
  -e "s/\"KeyB\": \"$(hex16 0x83)\"/\"KeyB\": \"$(hex16 0x78)\"/" "$work/keys.json" > "$work/other.json"
expect 4 restore "$work/first.json" --keys "$work/other.json"
grep -q "keys do not open sector 2" "$work/err" || fail "other keys: no reason given"
sed 's/"7": "[0-9A-F]*"/"7": "000000000000FF078169FFFFFFFFFFFF"/' "$work/first.json" > "$work/locking.json"
expect 2 restore "$work/locking.json" --keys "$work/keys.json" --with-trailers
grep -q "would lock sector 1" "$work/err" || fail "locking trailer: no reason given"
run read --block 4 --keys "$work/keys.json" | grep -q "00 00 00 00   00 00" || fail "a refused restore wrote"
sed 's/"Size": "4K"/"Size": "2K"/' "$work/first.json" > "$work/badsize.json"
expect 2 restore "$work/badsize.json" --keys "$work/keys.json"
grep -q "beyond a 2K card" "$work/err" || fail "a 4K dump labelled 2K accepted"
sed 's/"9": "[0-9A-F]*"/"9": "12345"/' "$work/first.json" > "$work/badblock.json"
expect 2 restore "$work/badblock.json" --keys "$work/keys.json"
grep -q "block 9: expected 32 hex digits" "$work/err" || fail "malformed block accepted"

# ---- A dump that holds another AES key for sector 3 changes it only with --with-trailers.
sed "s/\"KeyA\": \"$(hex16 4)\"/\"KeyA\": \"$(hex16 0x55)\"/" "$work/first.json" > "$work/newkey.json"
run restore "$work/newkey.json" --keys "$work/keys.json" > /dev/null
run read --block 12 --keys "$work/keys.json" > /dev/null || fail "the key changed without --with-trailers"
run restore "$work/newkey.json" --keys "$work/keys.json" --with-trailers > "$work/out"
grep -q "AES key A of sector 0x03 (0x4006) changes" "$work/out" || fail "key change not shown"
run read --block 12 --key "$(hex16 0x55)" > /dev/null || fail "the new key does not open sector 3"
expect 4 read --block 12 --keys "$work/keys.json"

if [ "$mode" = sim ]; then
  # A dump of a 2K card does not go onto the 4K card.
  small="sim:state=$work/small.json,variant=X2K4,seed=8"
  "$ostrel" --reader "$small" perso --keys "$work/keys.json" --commit > /dev/null
  "$ostrel" --reader "$small" switch --level 3 --key "$(hex16 0x44)" > /dev/null
  "$ostrel" --reader "$small" dump --keys "$work/keys.json" -o "$work/small-dump.json" > /dev/null
  grep -q '"Size": "2K"' "$work/small-dump.json" || fail "a 2K card not recognized"
  expect 2 restore "$work/small-dump.json" --keys "$work/keys.json"
  grep -q "dump is of a 2K card, this card is 4K" "$work/err" || fail "other card size: no reason given"
fi

echo "whole-card run over $mode: passed"
