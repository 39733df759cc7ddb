#!/usr/bin/env bash
# The packet assembler's benchmark alone: bench/packet.sh [benchmark options...]
exec "$(dirname "$0")/run" --packet "$@"
