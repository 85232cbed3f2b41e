#!/bin/sh
# A file larger than lzcx extract may hold in memory, patched under a limit
# of the address space: the payload's size (lzcx reads it in place) and
# 128 MB. Usage: large_file_test.sh LZCX LARGE_RELEASE SCRATCH
set -eu
lzcx=$1 make=$2 scratch=$3
size_mb=256
rm -rf "$scratch" && mkdir -p "$scratch/installed"
"$make" "$scratch/payload.bin" $size_mb
payload_mb=$(( $(wc -c < "$scratch/payload.bin") >> 20 ))
limit_kb=$(( (payload_mb + 128) << 10 ))
status=0
( ulimit -v $limit_kb && exec "$lzcx" extract --force -C "$scratch/installed" "$scratch/payload.bin" ) ||
  status=$?
echo "lzcx extract of a $size_mb MB file from a $payload_mb MB payload, address space limited to $limit_kb KB: status $status"
[ $status -eq 0 ]
"$make" --check "$scratch/installed/big.bin" $size_mb
rm -rf "$scratch"
