"""run_torch_gpu_astar: its Python surface. The search itself is tested on the
CPU device by the C++ tests; this machine has no CUDA device."""
import os

import numpy as np
import pytest

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import _backend_impl

P8 = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle8_manhattan.pt2")
cuda = pytest.importorskip("torch").cuda.is_available()


@pytest.fixture(scope="module", autouse=True)
def registered():
    quelmar_puzzles.register()


def test_signature_and_docstring():
    sig, doc, _ = _backend_impl.run_torch_gpu_astar.__nb_signature__[0]
    assert sig.startswith("def run_torch_gpu_astar(state: ndarray[dtype=uint8, shape=(*), order='C', "
                          "device='cpu'], env: str, package_path: str, weight: float, "
                          "batch_size: int, nnet_batch_size: int = \\")
    assert "            nnet_batch_size: Maximum batch size for heuristic inference (0 = auto).\n" in doc
    assert doc.lstrip("\n").startswith(
        "        Solve a single puzzle state using the LibTorch GPU-only A* searcher.\n")
    assert doc.endswith("RuntimeError: If the C++ GPU searcher cannot initialize or complete.\n      ")


def test_binding_checks_come_first():
    with pytest.raises(ValueError, match="^batch_size must be positive$"):
        quelmar_cpp.run_torch_gpu_astar(np.zeros(0, np.uint8), "puzzle8", P8, 1.0, 0)
    with pytest.raises(ValueError, match="^State payload must contain at least one entry$"):
        quelmar_cpp.run_torch_gpu_astar(np.zeros(0, np.uint8), "puzzle8", P8, 1.0, 1, -5)
    with pytest.raises(TypeError):
        quelmar_cpp.run_torch_gpu_astar(np.zeros(9, np.int64), "puzzle8", P8, 1.0, 1)


@pytest.mark.skipif(cuda, reason="checks the error of a machine without CUDA")
@pytest.mark.parametrize("device", ["cuda:0", "cpu"])
def test_requires_cuda(device):
    state = quelmar_puzzles.goal_state("puzzle8")
    with pytest.raises(RuntimeError, match="^CUDA is not available. Torch GPU A\\* requires a "
                                           "CUDA/ROCm device.$"):
        quelmar_cpp.run_torch_gpu_astar(state, "puzzle8", P8, 1.0, 1, device=device)
    # Settings are validated before the device.
    with pytest.raises(ValueError, match="^search_budget must be non-negative$"):
        quelmar_cpp.run_torch_gpu_astar(state, "puzzle8", P8, 1.0, 1, search_budget=-1)


@pytest.mark.skipif(not cuda, reason="needs a CUDA device")
def test_cpu_device_string_is_refused_where_cuda_exists():
    state = quelmar_puzzles.goal_state("puzzle8")
    with pytest.raises(RuntimeError, match="^Torch GPU A\\* requires a CUDA/ROCm device specification.$"):
        quelmar_cpp.run_torch_gpu_astar(state, "puzzle8", P8, 1.0, 1, device="cpu")


@pytest.mark.skipif(not cuda, reason="needs a CUDA device")
def test_solves_on_the_gpu():
    models = os.environ.get("QUELMAR_CUDA_MODELS")
    if not models:
        pytest.skip("QUELMAR_CUDA_MODELS names no folder of CUDA-compiled models")
    state = quelmar_puzzles.scramble("puzzle15", 30, seed=9)
    optimal = quelmar_puzzles.optimal_solution_length("puzzle15", state, 40)
    for mode in ("in_place", "new_slot"):
        result = quelmar_cpp.run_torch_gpu_astar(
            state, "puzzle15", os.path.join(models, "puzzle15_manhattan.pt2"), 1.0, 1,
            duplicate_update_mode=mode)
        assert len(result["moves"]) == optimal
        replay = quelmar_puzzles.apply_moves("puzzle15", state, result["moves"])
        assert quelmar_puzzles.is_solved("puzzle15", replay)
