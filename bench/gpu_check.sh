#!/usr/bin/env bash
# GPU check for a machine with one NVIDIA GPU, a pip PyTorch with CUDA,
# Python >= 3.12, CMake, Ninja and nanobind, but no network and no nlohmann-json.
#
#   ./dev run -- bench/gpu_check.sh prepare   # here: puts the nlohmann headers in .local/include
#   bench/gpu_check.sh                        # there: build, export models, test, benchmark
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = prepare ]; then
  # Installed headers of the build environment, kept out of git (.local/).
  mkdir -p .local/include
  cp -r /usr/include/nlohmann .local/include/
  echo "nlohmann headers copied to .local/include (carry .local to the GPU machine)"
  exit 0
fi

BUILD=build-gpu-check
export QUELMAR_BUILD_DIR=$BUILD PYTHONPATH=$PWD/$BUILD/python
nvidia-smi -L || true
cmake -S . -B $BUILD -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELMAR_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build $BUILD -j "$(nproc)"
python3 -m quelmar_cpp.export --out $BUILD/models-cuda --device cuda --only puzzle8 puzzle15
QUELMAR_CUDA_MODELS=$PWD/$BUILD/models-cuda python3 -m pytest -q tests/python/test_gpu_solver.py
"$BUILD/tests/quelmar_tests" --gtest_filter='Tensor*:Gpu*:PuzzlesTorch*' | tail -3
python3 bench/gpu_solver.py --models $BUILD/models-cuda --instances 3
