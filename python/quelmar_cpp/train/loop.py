"""The training loop: one run's network, optimizer, targets and clocks, stepped until its budget
is spent or a signal stops it.

Each step takes the next batch (made ahead in a background thread), asks the
run's kind of targets (``targets``) for what to regress the network towards,
and takes one Adam step; every so often it records the loss, checks the
network with a small beam search, follows the machine's load and writes a
checkpoint. At the end it writes the outputs (``outputs``).
"""
from __future__ import annotations

import ctypes
import math
import signal
import sys
import time

import numpy as np
import torch

import quelmar_cpp

from ..common.errors import UsageError, one_line
from ..common.progress import Progress
from . import checkpoint, data, outputs
from .checkpoint import CHECKPOINT
from .data import PhaseTimer, derive_seed
from .network import build_network
from .options import SHAPE
from .search import beam_search
from .targets import make_targets

# A loss point goes into the curve this often (and at every evaluation).
LOG_EVERY = 50
# Steps between two looks at the machine's load (the thread count follows it).
LOAD_EVERY = 10


def budget_left(step: int, elapsed: float, settings: dict) -> bool:
    """Whether a run at `step` after `elapsed` seconds has budget left (either limit ends it)."""
    return ((settings["steps"] is None or step < settings["steps"])
            and (settings["minutes"] is None or elapsed < 60 * settings["minutes"]))


def keep_freed_memory() -> None:
    """Makes glibc keep freed tensor buffers for reuse instead of unmapping them.

    With its default thresholds every step maps its activations afresh and
    faults them in page by page: training the default cube3 network ran about
    3 times slower (bench/train_throughput.py). Elsewhere than glibc this does
    nothing.
    """
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)  # glibc's largest allowed value
    mallopt(m_trim_threshold, 1 << 30)


class _Interrupted(BaseException):
    """A signal while the outputs are written; a BaseException, so no library's
    ``except Exception`` takes it for a failure of its own."""


class _Diverged(Exception):
    """The loss or the weights are no longer finite: the run cannot go on."""


class Run:
    """One training run: its network, optimizer, kind of targets, curve and clocks.

    `prog` names the program in messages; `checkpoint` (read by ``checkpoint.read_checkpoint``)
    is the state to resume from, or None for a new run.
    """

    def __init__(self, settings: dict, folder: str, plugin, goal: np.ndarray, width: int,
                 stored: dict | None, quiet: bool, prog: str):
        self.s, self.folder, self.plugin, self.goal, self.quiet = settings, folder, plugin, goal, quiet
        self.prog = prog
        self.env = settings["env"]
        self.eval_depth = settings["eval_depth"] or settings["max_walk"]
        self.eval_max_length = settings["eval_max_length"] or 2 * self.eval_depth
        # A Q-network has one output per move of the environment.
        outputs = 1 if settings["head"] == "value" else int(
            quelmar_cpp.expand_states(self.env, goal[None]).shape[1])
        self.network = build_network(width, *(settings[k] for k in SHAPE), seed=settings["seed"],
                                     outputs=outputs)
        self.optimizer = torch.optim.Adam(self.network.parameters(), lr=settings["lr"])
        self.target_kind = make_targets(self.network, settings)
        self.step, self.elapsed, self.curve, self.refreshes, self.sessions = 0, 0.0, [], [], []
        self.timer = PhaseTimer()
        if stored is not None:
            checkpoint.restore(self, stored)
        self.signal = None
        self.finishing = False
        self.export_package = True
        self.export_bf16 = False
        self._eval_starts = None
        # The step that checkpoint.pt holds (None: no checkpoint yet), and whether the network
        # is in the middle of an update, when a checkpoint of it would be inconsistent.
        self.saved_step = None if stored is None else self.step
        self._updating = False

    def save_checkpoint(self, finished: bool = False) -> None:
        """Writes checkpoint.pt; _Diverged instead when the weights are no longer finite, so that
        the last finite checkpoint stays."""
        with self.timer("checkpoint"):
            if not all(bool(torch.isfinite(t).all()) for t in self.network.state_dict().values()
                       if t.is_floating_point()):
                raise _Diverged(f"the weights are no longer finite after step {self.step}")
            checkpoint.write(self.folder, checkpoint.snapshot(self, finished))
            self.saved_step = self.step

    # one step

    def make_batch(self, step: int) -> data.Batch:
        s = self.s
        return data.make_batch(self.env, self.goal, step, s["seed"], s["batch"], s["max_walk"],
                               self.target_kind.needs_children, no_return=s["walks"] == "no_return",
                               neighbours=self.target_kind.neighbours)

    def targets(self, batch: data.Batch) -> torch.Tensor:
        """The batch's training targets, from the run's kind of targets."""
        return self.target_kind(batch, self.timer)

    def train_step(self, batch: data.Batch) -> float:
        assert batch.step == self.step, (batch.step, self.step)
        self.timer.add("data_work", batch.seconds)
        targets = self.targets(batch)
        with self.timer("train"):
            self.network.train()
            self.optimizer.zero_grad(set_to_none=True)
            outputs, targets = self.network.raw(batch.inputs).reshape(-1), targets.reshape(-1)
            if self.target_kind.neighbours:  # only the moves back have targets
                labelled = torch.from_numpy(batch.back).reshape(-1)
                outputs, targets = outputs[labelled], targets[labelled]
            loss = torch.nn.functional.mse_loss(outputs, targets)
            value = loss.detach().item()
            if not math.isfinite(value):
                raise _Diverged(f"the loss is {value} at step {self.step + 1}")
            loss.backward()
            self._updating = True
            self.optimizer.step()
        self.step += 1
        reason = self.target_kind.after_step(self.network, value)
        if reason:
            self.refreshes.append({"step": self.step, "reason": reason})
        self._updating = False
        return value

    # checks

    def eval_starts(self) -> np.ndarray:
        """The run's check states: the plug-in's scrambles (walks that never undo a move) when it
        has them, else random walks; the same every time, drawn apart from the training data."""
        count, depth = self.s["eval_states"], self.eval_depth
        seeds = [derive_seed(self.s["seed"], data.EVAL_STREAM, i) for i in range(count)]
        if callable(getattr(self.plugin, "scramble", None)):
            return np.stack([np.asarray(self.plugin.scramble(self.env, depth, seed), dtype=np.uint8)
                             for seed in seeds])
        return data.walk_states(self.env, self.goal, count, depth, seeds[0], min_walk=depth)[0]

    def check_eval(self) -> None:
        """Makes the check states and takes one step of the check search from them, before any
        training: UsageError when the plug-in or the helpers refuse them, where the run's first
        check would otherwise fail only after training."""
        if self.s["eval_states"] == 0:
            return
        try:
            starts = self.eval_starts()
            if starts.ndim != 2 or starts.shape[1] != len(self.goal):
                raise ValueError(f"states of shape {list(starts.shape[1:])}, not [{len(self.goal)}]")
            beam_search(self.network, self.env, starts, self.s["eval_beam"], 1)
        except Exception as exc:  # the plug-in's own code: any error is its refusal
            raise UsageError(f"cannot make the checks' {self.s['eval_states']} scrambles of "
                             f"{self.eval_depth} moves: {one_line(exc)}") from None
        self._eval_starts = starts

    def evaluate(self) -> dict:
        """Solve rate and mean length of the check search on this run's fixed scrambles."""
        with self.timer("eval"):
            count = self.s["eval_states"]
            if self._eval_starts is None:
                self._eval_starts = self.eval_starts()
            starts = self._eval_starts
            lengths = beam_search(self.network, self.env, starts, self.s["eval_beam"],
                                  self.eval_max_length)
            solved = [n for n in lengths if n is not None]
            return {"states": count, "solved": len(solved), "solve_rate": len(solved) / count,
                    "mean_length": sum(solved) / len(solved) if solved else None}

    # the loop

    def _on_signal(self, signum, frame):
        self.signal = signum
        if self.finishing:
            raise _Interrupted()

    def _budget_fraction(self) -> float:
        # The share of the budget used: the larger of the steps' and the minutes' share.
        done = [self.step / self.s["steps"]] if self.s["steps"] else []
        if self.s["minutes"]:
            done.append(self.elapsed / (60 * self.s["minutes"]))
        return max(done)

    def train(self) -> int:
        """Trains until the budget is spent or a signal stops the run, then writes the outputs;
        returns the exit status. The caller's signal handlers and thread count are restored."""
        handlers = {sig: signal.signal(sig, self._on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
        threads = torch.get_num_threads()
        self._follow_load()
        try:
            return self._train()
        finally:
            torch.set_num_threads(threads)
            for sig, handler in handlers.items():
                signal.signal(sig, handler)

    def _follow_load(self) -> None:
        """PyTorch threads: --threads, else the backend's rule (the CPUs other processes leave free)."""
        wanted = self.s["threads"] or quelmar_cpp._research_impl._search_threads()
        if wanted != torch.get_num_threads():
            torch.set_num_threads(wanted)

    def _train(self) -> int:
        """The loop and the outputs; a diverged run ends with one line and status 1, and any
        other error keeps the run's state in checkpoint.pt before it is raised."""
        try:
            return self._loop()
        except _Diverged as exc:
            kept = (f"{CHECKPOINT} keeps step {self.saved_step}" if self.saved_step is not None
                    else "no checkpoint was written")
            print(f"{self.prog}: error: training diverged: {exc}; {kept}; try a smaller --lr in a new run",
                  file=sys.stderr)
            return 1
        except Exception as exc:
            self._keep_after(exc)
            raise

    def _loop(self) -> int:
        s = self.s
        keep_freed_memory()
        self.sessions.append({"from_step": self.step, "started": time.time()})
        bar = Progress(self.quiet, total=1000, bar_format="{percentage:3.0f}%|{bar}| {desc}")
        start_step, session_start = self.step, time.perf_counter()
        elapsed_before = self.elapsed
        last_checkpoint = last_eval = time.perf_counter()
        losses, mark_step, mark_time = [], self.step, time.perf_counter()
        evaluate = s["eval_states"] > 0
        batches = data.Prefetcher(self.make_batch, self.step)
        try:
            while budget_left(self.step, self.elapsed, s) and self.signal is None:
                with self.timer("data"):
                    batch = batches.get(stop=lambda: self.signal is not None)
                if batch is None:
                    break
                losses.append(self.train_step(batch))
                now = time.perf_counter()
                self.elapsed = elapsed_before + now - session_start
                due_eval = evaluate and (
                    (s["eval_every"] and self.step % s["eval_every"] == 0)
                    or (s["eval_minutes"] and now - last_eval >= 60 * s["eval_minutes"]))
                rate = s["batch"] * (self.step - mark_step) / max(now - mark_time, 1e-9)
                self._show(bar, sum(losses) / len(losses), rate)
                if self.step % LOAD_EVERY == 0:
                    self._follow_load()
                if due_eval or self.step % LOG_EVERY == 0:
                    record = self._record(losses, rate, due_eval)
                    losses, mark_step, mark_time = [], self.step, time.perf_counter()
                    if due_eval:
                        last_eval = time.perf_counter()
                        self._say(bar, record)
                if time.perf_counter() - last_checkpoint >= 60 * s["checkpoint_minutes"]:
                    self.save_checkpoint()
                    last_checkpoint = time.perf_counter()
                self.elapsed = elapsed_before + time.perf_counter() - session_start
        finally:
            batches.close()
            bar.close()
        if self.signal is None and (losses or not self.curve or self.curve[-1]["step"] != self.step
                                    or (evaluate and "eval" not in self.curve[-1])):
            rate = s["batch"] * (self.step - mark_step) / max(time.perf_counter() - mark_time, 1e-9)
            self._record(losses, rate, evaluate)
        self.sessions[-1].update(to_step=self.step, seconds=self.elapsed - elapsed_before)
        if self.signal is not None:
            return self._stop()
        return self._finish()

    def _keep_after(self, exc: Exception) -> None:
        """After an unexpected error: checkpoint.pt of this step (unless the error cut an update
        short), and a note on the error saying what is kept."""
        if not self._updating:
            try:
                self.save_checkpoint()
            except Exception:
                pass  # the error at hand is the one to report; the previous checkpoint stays
        exc.add_note(f"{self.prog}: {CHECKPOINT} keeps step {self.saved_step}; continue with: "
                     f"{self.prog} --resume {self.folder}" if self.saved_step is not None
                     else f"{self.prog}: no checkpoint was written")

    def _record(self, losses: list[float], rate: float, with_eval: bool) -> dict:
        record = {"step": self.step, "time": round(self.elapsed, 3),
                  "loss": sum(losses) / len(losses) if losses else None,
                  "states_per_s": round(rate, 1)}
        if with_eval:
            record["eval"] = self.evaluate()
        self.curve.append(record)
        return record

    def _show(self, bar: Progress, loss: float, rate: float) -> None:
        # The bar counts thousandths of the budget; the time left assumes the pace so far.
        if not bar.visible:
            return
        fraction = self._budget_fraction()
        left = self.elapsed * (1 - fraction) / fraction if fraction > 0 else float("inf")
        bar.show(min(1000, int(1000 * fraction)),
                 f"step {self.step}, loss {loss:.4g}, {rate:,.0f} states/s, {left:.0f} s left")

    def _say(self, bar: Progress, record: dict) -> None:
        if self.quiet:
            return
        e = record["eval"]
        length = "-" if e["mean_length"] is None else f"{e['mean_length']:.2f}"
        loss = "-" if record["loss"] is None else f"{record['loss']:.4g}"
        bar.write(f"step {record['step']}: loss {loss}, solved {e['solved']}/{e['states']}, "
                  f"mean length {length}, {record['states_per_s']:,.0f} states/s")

    def _stop(self) -> int:
        self.save_checkpoint()
        outputs.write_log(self, "interrupted")
        status = 130 if self.signal == signal.SIGINT else 143
        name = signal.Signals(self.signal).name
        print(f"{self.prog}: {name} at step {self.step}; checkpoint written; continue with: "
              f"{self.prog} --resume {self.folder}", file=sys.stderr)
        return status

    def _finish(self) -> int:
        package, written = None, False
        try:
            self.finishing = True
            if self.signal is not None:
                raise _Interrupted()
            self.save_checkpoint()
            outputs.write_model(self)
            package = outputs.export(self)
            plotted = outputs.write_plot(self)
            outputs.write_log(self, "finished", package, plotted)
            self.save_checkpoint(finished=True)
            written = True
        except (OSError, RuntimeError, ValueError) as exc:
            # A signal that reached a compiler or a write first shows as its failure. (The
            # exporter refuses with ValueError to rename its package over a folder.)
            if self.signal is None:
                print(f"{self.prog}: error: writing the outputs of step {self.step} failed: {one_line(exc)}; "
                      f"try again with: {self.prog} --resume {self.folder}", file=sys.stderr)
                return 1
        except _Interrupted:
            pass
        finally:
            self.finishing = False
        if written:
            outputs.print_summary(self, package)
            return 0
        if self.saved_step != self.step:  # the signal cut the first checkpoint short
            try:
                self.save_checkpoint()
            except OSError:
                pass  # the message names the step that is kept
        name = signal.Signals(self.signal).name
        kept = f"{CHECKPOINT} keeps step {self.saved_step}" if self.saved_step is not None else "no checkpoint"
        print(f"{self.prog}: {name} while writing the outputs of step {self.step} ({kept}); write them "
              f"with: {self.prog} --resume {self.folder}", file=sys.stderr)
        return 130 if self.signal == signal.SIGINT else 143
