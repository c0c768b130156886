#!/usr/bin/env bash
# Trains the shipped cube3 Q-network from the shipped value network (teacher
# targets: Q(s, a) = 1 + V(child), 0 for a goal child), 90 minutes on 2 cores:
#   ./dev run -- bash models/cube3_q/train.sh [RUN_DIR]
# model.pt and train_log.json of RUN_DIR are what this folder ships; a run
# stopped early continues with --resume RUN_DIR --minutes 90.
set -euo pipefail
run=${1:-runs/cube3_q}
if [[ -e $run/checkpoint.pt ]]; then
  exec python3 -m quelmar_cpp train --resume "$run" --minutes 90 --quiet
fi
exec python3 -m quelmar_cpp train --out "$run" --env cube3 --head q --targets teacher \
  --teacher models/cube3_learned --walks no_return --max-walk 26 --batch 2000 \
  --eval-every 0 --eval-minutes 15 --eval-states 20 --eval-depth 16 --eval-beam 64 \
  --minutes 90 --quiet
