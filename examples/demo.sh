#!/usr/bin/env bash
# Shows the tool at work. For now: the usage text.
set -euo pipefail
"$1" -h
