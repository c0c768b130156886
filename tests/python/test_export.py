"""The model exporter: manifest format and the values of the exported networks."""
import json
import random

import pytest
import torch

from quelmar_cpp import export


def manhattan(board, n):
    total = 0
    for pos, tile in enumerate(board):
        if tile:
            goal = tile - 1
            total += abs(pos // n - goal // n) + abs(pos % n - goal % n)
    return total


def one_hot_boards(boards, n):
    cells = n * n
    x = torch.zeros(len(boards), cells * cells)
    for b, board in enumerate(boards):
        for pos, tile in enumerate(board):
            x[b, tile * cells + pos] = 1.0
    return x


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    # One exporter run through the command line for every test below.
    out = tmp_path_factory.mktemp("models")
    assert export.main(["--out", str(out), "--only", "puzzle8", "fixture_two_inputs"]) == 0
    return out


def test_manifests_match_the_format(exported):
    assert sorted(p.name for p in exported.iterdir()) == [
        "fixture_two_inputs.pt2", "fixture_two_inputs.pt2.json",
        "puzzle8_manhattan.pt2", "puzzle8_manhattan.pt2.json"]
    puzzle = json.loads((exported / "puzzle8_manhattan.pt2.json").read_text())
    assert puzzle == {
        "env": "puzzle8",
        "output_elements_per_example": 1,
        "inputs": [{"name": "input", "numel_per_example": 81, "shape": ["batch", 81],
                    "dtype": "float32"}],
    }
    two = json.loads((exported / "fixture_two_inputs.pt2.json").read_text())
    assert two["env"] == "fixture_two_inputs"
    assert [(i["name"], i["numel_per_example"], i["shape"]) for i in two["inputs"]] == [
        ("a", 4, ["batch", 4]), ("b", 2, ["batch", 2])]


@pytest.mark.parametrize("batch", [1, 7, 300])
def test_exported_manhattan_is_exact(exported, batch):
    model = torch._inductor.aoti_load_package(str(exported / "puzzle8_manhattan.pt2"))
    rng = random.Random(batch)
    boards = []
    for _ in range(batch):
        board = list(range(9))
        rng.shuffle(board)
        boards.append(board)
    boards[0] = [1, 2, 3, 4, 5, 6, 7, 8, 0]  # solved
    with torch.inference_mode():
        out = model(one_hot_boards(boards, 3))
    assert out.shape == (batch, 1)
    assert out[:, 0].tolist() == [float(manhattan(b, 3)) for b in boards]
    assert out[0, 0].item() == 0.0


def test_exported_two_inputs_in_call_order(exported):
    model = torch._inductor.aoti_load_package(str(exported / "fixture_two_inputs.pt2"))
    a = torch.tensor([[1.0, 0, 0, 0], [0, 0, 0, 1.0], [1.0, 1.0, 1.0, 1.0]])
    b = torch.tensor([[0.0, 0], [1.0, 0], [0, 1.0]])
    with torch.inference_mode():
        out = model(a, b)
    assert out.shape == (3, 1)
    assert out[:, 0].tolist() == [1.0, 14.0, 30.0]


@pytest.mark.parametrize("n", [3, 4, 5])
def test_manhattan_network_weights(n):
    # Checks the network itself (no export) against a direct computation.
    rng = random.Random(n)
    boards = []
    for _ in range(20):
        board = list(range(n * n))
        rng.shuffle(board)
        boards.append(board)
    with torch.no_grad():
        out = export.manhattan_network(n)(one_hot_boards(boards, n))
    assert out[:, 0].tolist() == [float(manhattan(b, n)) for b in boards]


def test_cube3_network_counts_misplaced_stickers():
    rng = random.Random(0)
    colours = [[i // 9 for i in range(54)]]
    colours += [[rng.randrange(6) for _ in range(54)] for _ in range(10)]
    x = torch.zeros(len(colours), 54 * 6)
    for b, row in enumerate(colours):
        for sticker, colour in enumerate(row):
            x[b, sticker * 6 + colour] = 1.0
    with torch.no_grad():
        out = export.cube3_misplaced_network()(x)[:, 0]
    counts = torch.tensor([sum(c != i // 9 for i, c in enumerate(row)) for row in colours],
                          dtype=torch.float32)
    assert out[0].item() == 0.0
    # Bit for bit: the realistic cube3 network must reproduce these floats.
    assert torch.equal(out, counts / 20.0)


@pytest.mark.parametrize("exact, inputs, sizes", [
    (lambda: export.manhattan_network(4), 256, {}),            # the benchmark's sizes
    (export.cube3_misplaced_network, 324, {}),
    (lambda: export.manhattan_network(3), 81, {"first": 16, "hidden": 8, "blocks": 1}),
])
def test_residual_mlp_returns_the_exact_model_bit_for_bit(exact, inputs, sizes):
    exact = exact().eval()
    network = export.ResidualMLP(exact, inputs, **sizes).eval()
    values = int(round(inputs ** 0.5)) if inputs != 324 else 6
    slots = inputs // values
    x = torch.nn.functional.one_hot(torch.randint(0, values, (64, slots),
                                                  generator=torch.Generator().manual_seed(1)),
                                    values).to(torch.float32).reshape(64, -1)
    x[0] = 0.0  # all-zero input: exact value 0 must stay 0
    with torch.inference_mode():
        body = network.body(x)
        out, want = network(x), exact(x)
    assert torch.equal(out, want)
    assert body.abs().sum() > 0  # the body is really computed, not folded away
    shapes = network.layer_shapes()
    assert shapes[0] == (inputs, sizes.get("first", 5000)) and shapes[-1][1] == 1
    assert len(shapes) == 3 + 2 * sizes.get("blocks", 4)


def test_bfloat16_export_runs_in_bfloat16_behind_float32_io(tmp_path):
    path = tmp_path / "p8.pt2"
    manifest = export.export_heuristic(export.manhattan_network(3), torch.zeros(2, 81),
                                       str(path), env="puzzle8", precision="bfloat16")
    assert manifest["inputs"][0]["dtype"] == "float32"
    model = torch._inductor.aoti_load_package(str(path))
    boards = [[1, 2, 3, 4, 5, 6, 7, 8, 0], [8, 7, 6, 5, 4, 3, 2, 1, 0], [0, 1, 2, 3, 4, 5, 6, 7, 8]]
    with torch.inference_mode():
        out = model(one_hot_boards(boards, 3))
    assert out.dtype == torch.float32
    # Small integers are exact in bfloat16 too.
    assert out[:, 0].tolist() == [float(manhattan(b, 3)) for b in boards]


@pytest.mark.parametrize("inputs, kwargs, error", [
    ((), {}, "at least one example input"),
    ((torch.zeros(4, 3, dtype=torch.float64),), {}, "must be float32"),
    ((torch.zeros(1, 3),), {}, "batch dimension of at least 2"),
    ((torch.zeros(4),), {}, None),  # 1-D is a batch of scalars: accepted
    ((torch.zeros(4, 3), torch.zeros(5, 2)), {}, "same batch size"),
    ((torch.zeros(4, 3),), {"input_names": ["a", "b"]}, "2 input names given for 1"),
    ((torch.zeros(4, 3),), {"precision": "float16"}, "precision must be one of"),
])
def test_bad_arguments_are_refused_before_exporting(tmp_path, monkeypatch, inputs, kwargs, error):
    calls = []
    monkeypatch.setattr(torch.export, "export", lambda *a, **k: calls.append(a) or None)
    monkeypatch.setattr(torch._inductor, "aoti_compile_and_package", lambda *a, **k: None)
    path = str(tmp_path / "m.pt2")
    if error is None:
        manifest = export.export_heuristic(torch.nn.Identity(), inputs, path, **kwargs)
        assert manifest["inputs"] == [{"name": "input", "numel_per_example": 1,
                                       "shape": ["batch"], "dtype": "float32"}]
        assert json.loads((tmp_path / "m.pt2.json").read_text()) == manifest
        assert len(calls) == 1
    else:
        with pytest.raises(ValueError, match=error):
            export.export_heuristic(torch.nn.Identity(), inputs, path, **kwargs)
        assert not calls
        assert not (tmp_path / "m.pt2.json").exists()


def test_package_path_must_end_in_pt2(tmp_path):
    with pytest.raises(ValueError, match="must end with '.pt2'"):
        export.export_heuristic(torch.nn.Identity(), torch.zeros(2, 3), str(tmp_path / "m.zip"))


def test_command_line_rejects_unknown_models(tmp_path, capsys):
    with pytest.raises(SystemExit):
        export.main(["--out", str(tmp_path), "--only", "puzzle99"])
    assert "invalid choice" in capsys.readouterr().err
