#!/usr/bin/env bash
# Trains the shipped cube3 heuristic (about 90 minutes on 2 cores):
#   ./dev run -- bash models/cube3_learned/train.sh [RUN_DIR]
# The run is one training of 90 minutes, stopped at 5 and 20 minutes to keep
# those stages' packages for bench/learned.py (a resumed run continues exactly
# where it stopped). model.pt and train_log.json of RUN_DIR are what this
# folder ships; RUN_DIR/stages/ holds the earlier stages.
set -euo pipefail
run=${1:-runs/cube3_learned}
settings=(--env cube3 --targets walk --walks no_return --max-walk 26 --batch 2000
          --eval-every 0 --eval-minutes 15 --eval-states 20 --eval-depth 16 --eval-beam 64 --quiet)
mkdir -p "$run/stages"
stage() {  # stage MINUTES: train (or continue) up to MINUTES, keep its package
  if [[ -e $run/checkpoint.pt ]]; then
    python3 -m quelmar_cpp train --resume "$run" --minutes "$1" --quiet
  else
    python3 -m quelmar_cpp train --out "$run" "${settings[@]}" --minutes "$1"
  fi
  mkdir -p "$run/stages/$1min"
  cp "$run"/model.pt "$run"/train_log.json "$run"/cube3_learned.pt2* "$run/stages/$1min/"
}
stage 5
stage 20
stage 90
