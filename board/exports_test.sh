#!/bin/sh
# The plug-in exports fnTvx and nothing else.
# Usage: exports_test.sh PLUGIN.tvx
symbols=$(nm -D --defined-only "$1" | awk '{ print $NF }' | sort | tr '\n' ' ')
if [ "$symbols" = "fnTvx " ]; then
  echo "1 passed, 0 failed"
else
  echo "exported: $symbols"
  echo "0 passed, 1 failed"
  exit 1
fi
