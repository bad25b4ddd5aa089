#!/bin/sh
# Fails when a program for the e500v2 core holds classic floating-point
# instructions (they trap there: the build is soft float, but the cross
# compiler's libgcc is hard float), and prints the program's sizes.
set -e
elf=$1
bad=$(powerpc-linux-gnu-objdump -d "$elf" |
    grep -E '^ *[0-9a-f]+:	([0-9a-f]{2} ){4}	(lf[sd]|stf[sdi]|f[a-z]+|m[ft]fs[a-z0-9]*)[a-z.]* ' |
    head -5 || true)
if [ -n "$bad" ]; then
    echo "$elf: classic floating-point instructions (link a soft-float routine instead):" >&2
    echo "$bad" >&2
    exit 1
fi
powerpc-linux-gnu-size "$elf"
