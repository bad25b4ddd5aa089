#!/bin/sh
# Demo operational code: stands in for the switch firmware on a host board.
echo
echo "=================================================="
echo "  Demo operational code is running on the host."
echo "  Start type: ${1:-none}"
echo "=================================================="
