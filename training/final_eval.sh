#!/bin/sh
# Runs every evaluation of the exported networks and writes runs/evals/<tag>_*.json.
#   sh training/final_eval.sh [tag] [det.onnx] [rec.onnx] [threshold]
# With a threshold, the characters whose recognition score is not above it are
# left out (keshocr --threshold); chars74k, which reads crops alone, is the same.
set -e
cd "$(dirname "$0")"
TAG=${1:-final}
DET=${2:-export/det.onnx}
REC=${3:-export/rec.onnx}
THR=${4:+--threshold $4}
mkdir -p runs/evals
nice -n 10 /usr/bin/python3 eval_real.py --det "$DET" --rec "$REC" $THR --out runs/evals/${TAG}_real.json > runs/evals/${TAG}_real.log 2>&1
nice -n 10 /usr/bin/python3 eval_synth.py --det "$DET" --rec "$REC" $THR --out runs/evals/${TAG}_synth.json > runs/evals/${TAG}_synth.log 2>&1
tail -n 60 runs/evals/${TAG}_real.log runs/evals/${TAG}_synth.log
