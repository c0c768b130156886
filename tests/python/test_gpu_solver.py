"""run_torch_gpu_astar where a GPU matters: its device check and, given CUDA and
QUELMAR_CUDA_MODELS (bench/gpu_check.sh sets both), a search on the GPU. Its arguments
are checked with the CPU solver's in test_solvers.py."""
import os

import pytest
import torch

import quelmar_cpp
import quelmar_puzzles as qp

P8 = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle8_manhattan.pt2")
CUDA = torch.cuda.is_available()


@pytest.fixture(scope="module", autouse=True)
def registered():
    qp.register()


# Catches: the GPU solver starting (or crashing) without CUDA, or taking a CPU device string.
@pytest.mark.parametrize("device", ["cuda:0", "cpu"])
def test_gpu_solver_needs_a_cuda_device(device):
    if CUDA and device != "cpu":
        pytest.skip("a machine with CUDA accepts cuda:0")
    message = "device specification" if CUDA else "^CUDA is not available. Torch GPU A\\* requires"
    with pytest.raises(RuntimeError, match=message):
        quelmar_cpp.run_torch_gpu_astar(qp.goal_state("puzzle8"), "puzzle8", P8, 1.0, 1, device=device)


# Catches: the GPU solver losing optimality or replayable moves in either duplicate mode.
@pytest.mark.skipif(not CUDA or not os.environ.get("QUELMAR_CUDA_MODELS"),
                    reason="needs CUDA and QUELMAR_CUDA_MODELS naming CUDA-compiled models")
@pytest.mark.parametrize("mode", ["in_place", "new_slot"])
def test_gpu_solver_solves(mode):
    state, package = qp.scramble("puzzle15", 30, seed=9), os.environ["QUELMAR_CUDA_MODELS"] + "/puzzle15_manhattan.pt2"
    result = quelmar_cpp.run_torch_gpu_astar(state, "puzzle15", package, 1.0, 1, duplicate_update_mode=mode)
    assert len(result["moves"]) == qp.optimal_solution_length("puzzle15", state, 40)
    assert qp.is_solved("puzzle15", qp.apply_moves("puzzle15", state, result["moves"]))
