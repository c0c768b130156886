"""The demo (python3 -m quelmar_cpp.demo): both puzzles solved and replayed, and what it used said."""
import os

import pytest

from quelmar_cpp import demo

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")


# Catches: a cube solver row wired to the other function or model, a width or precision asked for
# and not used, a solution not replayed, a demo that reports success for an unsolved puzzle.
@pytest.mark.parametrize("solver, model, what", [("qbeam", "cube3_q", "Q-beam search"),
                                                 ("beam", "cube3_learned", "beam search")])
def test_demo_solves_and_says_what_it_used(capsys, solver, model, what):
    status = demo.main(["--depth", "12", "--cube-solver", solver, "--beam-width", "1024",
                        "--precision", "float32", "--models", MODELS])
    out = capsys.readouterr().out
    assert status == 0 and out.count("(verified)") == 2
    assert f"{what} (one network row per" in out
    assert f"width 1024, shipped network {model}, float32 (asked" in out
    assert f"model package:   {os.path.join(MODELS, model + '.pt2')}" in out


def test_demo_reports_a_cube_it_did_not_solve(capsys):
    assert demo.main(["--depth", "4", "--beam-width", "1", "--max-steps", "3", "--models", MODELS]) == 1
    assert "not solved" in capsys.readouterr().out
