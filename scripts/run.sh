#!/usr/bin/env bash
# `make run`: the main job on the bundled sample.
set -euo pipefail
build=${1:-build}
echo "Nothing to run yet."
