"""The model exporter: manifests, precision, the benchmark network and argument checks.
The values of the exported reference packages and fixtures are checked by the C++ tests."""
import json
import os
import subprocess
import sys

import pytest
import torch

from quelmar_cpp import export

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "models"))
import export_fixtures  # noqa: E402  (tests/models, not part of the package)


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    # The command lines, the exporter's once per precision, for every test below.
    out = tmp_path_factory.mktemp("models")
    assert export.main(["--out", str(out), "--only", "puzzle8", "--precision", "both"]) == 0
    assert export_fixtures.main(["--out", str(out), "--only", "fixture_two_inputs"]) == 0
    return out


# Catches: manifests that drift from the format (keys, shapes, input order), a bfloat16
# package without its suffix or with a bfloat16 interface.
def test_manifests_match_the_format(exported):
    assert sorted(p.name for p in exported.iterdir()) == [
        "fixture_two_inputs.pt2", "fixture_two_inputs.pt2.json", "puzzle8_manhattan.pt2",
        "puzzle8_manhattan.pt2.json", "puzzle8_manhattan_bf16.pt2", "puzzle8_manhattan_bf16.pt2.json"]
    puzzle = json.loads((exported / "puzzle8_manhattan.pt2.json").read_text())
    assert puzzle == {"env": "puzzle8", "output_elements_per_example": 1, "inputs": [
        {"name": "input", "numel_per_example": 81, "shape": ["batch", 81], "dtype": "float32"}],
        "precision": "float32"}
    assert json.loads((exported / "puzzle8_manhattan_bf16.pt2.json").read_text()) == {
        **puzzle, "precision": "bfloat16"}
    two = json.loads((exported / "fixture_two_inputs.pt2.json").read_text())
    assert [(i["name"], i["numel_per_example"], i["shape"]) for i in two["inputs"]] == [
        ("a", 4, ["batch", 4]), ("b", 2, ["batch", 2])]


# Catches: --bf16 ignored (the package computing in float32), or its output not float32.
def test_bfloat16_package_runs_behind_float32_io(exported):
    boards = torch.stack([torch.randperm(9, generator=torch.Generator().manual_seed(s)) for s in range(20)])
    x = torch.nn.functional.one_hot(boards, 9).transpose(1, 2).reshape(20, 81).to(torch.float32)
    scaled = x * (1 + 2 ** -10)  # bfloat16 rounds the scale away, float32 keeps it
    half, full = (torch._inductor.aoti_load_package(str(exported / f"puzzle8_manhattan{suffix}.pt2"))
                  for suffix in ("_bf16", ""))
    with torch.inference_mode():
        assert half(scaled).dtype == torch.float32 and torch.equal(half(scaled), full(x))
        assert not torch.equal(full(scaled), full(x))


# Catches: the benchmark network changing the exact model's values (0 included), its body
# folded away as dead code, or layer sizes other than requested.
@pytest.mark.parametrize("exact, slots, values, sizes", [
    (lambda: export.manhattan_network(4), 16, 16, {}),  # the benchmark's sizes
    (export.cube3_misplaced_network, 54, 6, {}),
    (lambda: export.manhattan_network(3), 9, 9, {"first": 16, "hidden": 8, "blocks": 1}),
])
def test_residual_mlp_returns_the_exact_model_bit_for_bit(exact, slots, values, sizes):
    exact = exact().eval()
    network = export.ResidualMLP(exact, slots * values, **sizes).eval()
    index = torch.randint(0, values, (64, slots), generator=torch.Generator().manual_seed(1))
    x = torch.nn.functional.one_hot(index, values).to(torch.float32).reshape(64, -1)
    x[0] = 0.0
    with torch.inference_mode():
        assert torch.equal(network(x), exact(x))
        assert network.body(x).abs().sum() > 0
    shapes = network.layer_shapes()
    assert shapes[0] == (slots * values, sizes.get("first", 5000)) and shapes[-1][1] == 1
    assert len(shapes) == 3 + 2 * sizes.get("blocks", 4)


# Catches: bad arguments reaching the (slow) exporter, or leaving a manifest behind;
# a 1-D input refused.
@pytest.mark.parametrize("inputs, kwargs, error", [
    ((), {}, "at least one example input"),
    ((torch.zeros(4, 3, dtype=torch.float64),), {}, "must be float32"),
    ((torch.zeros(1, 3),), {}, "batch dimension of at least 2"),
    ((torch.zeros(4),), {}, None),
    ((torch.zeros(4, 3), torch.zeros(5, 2)), {}, "same batch size"),
    ((torch.zeros(4, 3),), {"input_names": ["a", "b"]}, "2 input names given for 1"),
    ((torch.zeros(4, 3),), {"precision": "float16"}, "precision must be one of"),
    ((torch.zeros(4, 3),), {"package_path": "m.zip"}, "must end with '.pt2'"),
])
def test_bad_arguments_are_refused_before_exporting(tmp_path, monkeypatch, inputs, kwargs, error):
    calls = []
    monkeypatch.setattr(torch.export, "export", lambda *a, **k: calls.append(a))
    monkeypatch.setattr(torch._inductor, "aoti_compile_and_package",
                        lambda program, package_path, **k: open(package_path, "wb").close())
    path = str(tmp_path / kwargs.pop("package_path", "m.pt2"))
    if error is None:
        manifest = export.export_heuristic(torch.nn.Identity(), inputs, path, **kwargs)
        assert manifest["inputs"] == [{"name": "input", "numel_per_example": 1,
                                       "shape": ["batch"], "dtype": "float32"}]
        assert json.loads((tmp_path / "m.pt2.json").read_text()) == manifest and len(calls) == 1
        assert sorted(p.name for p in tmp_path.iterdir()) == ["m.pt2", "m.pt2.json"]
    else:
        with pytest.raises(ValueError, match=error):
            export.export_heuristic(torch.nn.Identity(), inputs, path, **kwargs)
        assert not calls and not list(tmp_path.iterdir())


# Catches: an unknown model name exporting nothing without an error, test fixtures
# shipped with the package's exporter.
@pytest.mark.parametrize("main, name", [(export.main, "puzzle99"), (export.main, "fixture_flat"),
                                        (export_fixtures.main, "puzzle8")])
def test_command_lines_reject_unknown_models(tmp_path, capsys, main, name):
    with pytest.raises(SystemExit):
        main(["--out", str(tmp_path), "--only", name])
    assert "invalid choice" in capsys.readouterr().err


SOURCE = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir)
SHIPPED = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "cube3_learned.pt2")


# Catches: the build exporting another network than the shipped weights (or dropping batch
# norm's statistics), a package whose manifest names another environment.
def test_shipped_cube_package_is_the_shipped_network():
    import numpy as np
    import quelmar_cpp
    import quelmar_puzzles as qp
    from quelmar_cpp import train

    qp.register()
    network = train.load_network(os.path.join(SOURCE, "models", "cube3_learned", "model.pt"))
    assert network.env == "cube3"
    assert json.loads(open(SHIPPED + ".json", encoding="utf-8").read())["env"] == "cube3"
    states = np.stack([qp.scramble("cube3", depth, 3) for depth in range(0, 30, 3)])
    inputs = torch.from_numpy(quelmar_cpp.network_inputs("cube3", states))
    with torch.inference_mode():
        ours = network(inputs).reshape(-1)
        package = torch._inductor.aoti_load_package(SHIPPED)(inputs)
    package = (package[0] if isinstance(package, (list, tuple)) else package).reshape(-1)
    # Loose enough for kernels that sum in another order on other CPUs; another network or
    # missing batch-norm statistics differ by whole moves.
    assert torch.allclose(ours, package, atol=1e-2), (ours - package).abs().max()


# Catches: --learned exporting from a folder without a trainer model, or mixed with --only;
# an --out that is a file failing with a traceback.
@pytest.mark.parametrize("extra, status, message", [
    (["--learned", "{empty}"], 1, "model.pt"),
    (["--learned", "{empty}", "--only", "puzzle8"], 2, "exclude each other"),
    (["--learned", "{empty}", "--out", "{file}"], 2, "--out {file}: exists and is not a folder"),
])
def test_learned_export_refuses_bad_folders(tmp_path, capsys, extra, status, message):
    (tmp_path / "empty").mkdir()
    (tmp_path / "file").write_text("x")
    paths = {"empty": tmp_path / "empty", "file": tmp_path / "file"}
    message = message.format(**paths)
    args = ["--out", str(tmp_path / "out")] + [a.format(**paths) for a in extra]
    try:
        got = export.main(args)
    except SystemExit as exc:
        got = exc.code
    assert got == status and message in capsys.readouterr().err
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


# Catches: a package compiled in place, so that an export killed while writing (or failing)
# leaves a truncated package and its previous, working one is gone.
def test_an_export_cut_short_leaves_the_previous_package(tmp_path, monkeypatch):
    from quelmar_cpp import train

    run, out = tmp_path / "run", tmp_path / "out"
    run.mkdir()
    torch.save(train.network_record(train.build_network(81, 8, 8, 0, seed=0), "puzzle8"), run / "model.pt")
    out.mkdir()
    (out / "run.pt2").write_bytes(b"previous package")
    (out / "run.pt2.json").write_text("previous manifest")

    def killed(program, package_path, **kwargs):
        with open(package_path, "wb") as f:
            f.write(b"half a pack")
        raise KeyboardInterrupt  # as a kill stops the compiler here

    monkeypatch.setattr(torch._inductor, "aoti_compile_and_package", killed)
    with pytest.raises(KeyboardInterrupt):
        export.main(["--out", str(out), "--learned", str(run)])
    assert sorted(p.name for p in out.iterdir()) == ["run.pt2", "run.pt2.json"]
    assert (out / "run.pt2").read_bytes() == b"previous package"
    assert (out / "run.pt2.json").read_text() == "previous manifest"


BF16_SCRIPT = """
import sys
import numpy as np
import quelmar_cpp, quelmar_puzzles as qp
qp.register()
start = np.asarray(qp.scramble("puzzle8", 10, seed=1), np.uint8)
for package in sys.argv[1:]:
    assert quelmar_cpp.run_beam_search(start, "puzzle8", package, 10, 50)["solved"]
print(quelmar_cpp._research_impl._native_bfloat16())
"""


# Catches: a bfloat16 package run silently where the CPU emulates bfloat16 (many times slower),
# the warning repeated for every search, or given for float32 packages or where the CPU has it.
def test_bfloat16_on_a_cpu_without_it_warns_once(exported):
    half, full = (str(exported / f"puzzle8_manhattan{suffix}.pt2") for suffix in ("_bf16", ""))
    run = subprocess.run([sys.executable, "-c", BF16_SCRIPT, full, half, half], capture_output=True,
                         text=True, check=True)
    native = run.stdout.strip() == "True"
    warnings = [line for line in run.stderr.splitlines() if "bfloat16 package" in line]
    assert len(warnings) == (0 if native else 1)
    if warnings:
        assert half in warnings[0] and "AVX512-BF16 or AMX" in warnings[0]
