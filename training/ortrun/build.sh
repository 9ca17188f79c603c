#!/bin/sh
# Builds libortrun.so against the ONNX Runtime shipped in third_party/.
set -e
cd "$(dirname "$0")"
ORT=../../third_party/onnxruntime
gcc -O2 -Wno-unused-result -shared -fPIC -o libortrun.so ortrun.c -I$ORT/include -L$ORT/lib -lonnxruntime -Wl,-rpath,$(cd $ORT/lib && pwd)
