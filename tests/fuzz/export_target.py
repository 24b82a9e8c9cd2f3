"""What fuzzing the exporter checks for each input, and how it tells the outcomes apart.

``run_case`` makes the case's model twice: one copy runs plainly on the samples (evaluation
mode, no gradients), the other is exported and checked (``export_ir`` or ``VANTLEExporter``,
then ``check_export`` on the same model). Export must return an ``ir.Graph`` (maybe with a
UserWarning of ours) or raise a clear exception; ``check_export`` must return an ``ExportCheck``
or raise one. Findings:

- an exception outside ``CLEAR`` that the user's code did not raise itself, or one whose text is
  empty or a C++ library's (``std::bad_cast``), or a SystemError;
- a refusal of a model that runs plainly on the sample, other than one of export's own
  ValueErrors or TypeErrors (strict mode, a sample export does not take);
- a graph for a model that fails on the sample;
- the model, the samples or the interpreter left otherwise than they were: training flags,
  hooks, parameters, buffers, module attributes, gradient mode, the garbage collector, torch's
  function mode stack, global hooks.
"""

from __future__ import annotations

import gc
import os
import re
import sys
import threading
import traceback
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import torch
from torch import nn

from vantle import ir
from vantle.bridge.export_check import ExportCheck
from vantle.bridge.export_ir import VANTLEExporter, check_export, export_ir

HERE = os.path.dirname(os.path.abspath(__file__))

# Clear refusals: argument errors, and the RuntimeError that a failed forward pass becomes.
CLEAR = (ValueError, TypeError, RuntimeError, NotImplementedError, FileNotFoundError)

# Texts that say nothing to a user: a C++ exception's what(), or an interpreter fault.
UNCLEAR = re.compile(r"std::|bad_cast|bad_alloc|basic_string|vector::|nanobind|"
                     r"error return without exception set|returned a result with an exception set|"
                     r"^<NULL>$|unknown exception")

VERBOSE = False  # tracebacks with the findings (a replay of single inputs)

HOOK_TABLES = ("_forward_hooks", "_forward_pre_hooks", "_backward_hooks",
               "_backward_pre_hooks", "_forward_hooks_with_kwargs",
               "_forward_pre_hooks_with_kwargs", "_forward_hooks_always_called",
               "_state_dict_hooks", "_load_state_dict_pre_hooks")


@dataclass
class Outcome:
    label: str
    plain: str = "ok"  # the model run plainly: "ok" or "raised:Type"
    export: str = ""  # "graph", "warned" or "raised:Type"
    check: str = "skipped"  # "report", "report-mismatch" or "raised:Type"
    findings: List[str] = field(default_factory=list)
    # An export without a warning of ours whose check was not ok: the graph claimed exactness.
    inexact: bool = False


# --- where an exception came from ----------------------------------------------------------------


def root_cause(error: BaseException) -> BaseException:
    seen = set()
    while error.__cause__ is not None and id(error) not in seen:
        seen.add(id(error))
        error = error.__cause__
    return error


def innermost_file(error: BaseException) -> str:
    tb, last = error.__traceback__, None
    while tb is not None:
        last, tb = tb, tb.tb_next
    return last.tb_frame.f_code.co_filename if last is not None else ""


def origin(error: BaseException) -> str:
    """"ours" (this package: its C++ called from here, or its Python), "user" (the fuzzer's
    models, hooks and converters) or "library" (torch, numpy, the SNN libraries)."""
    path = os.path.abspath(innermost_file(error))
    if path == os.path.abspath(__file__) or \
            f"{os.sep}vantle{os.sep}" in path:
        return "ours"
    if os.path.dirname(path) == HERE:
        return "user"
    return "library"


def text_of(error: BaseException) -> str:
    try:
        return str(error)
    except Exception as failure:  # an exception whose __str__ raises
        return f"<str raised {type(failure).__name__}>"


def judge_error(what: str, error: BaseException, plain_error: Optional[BaseException],
                documented: Dict[str, str]) -> List[str]:
    """Findings about one exception that export or check_export raised."""
    found = judged(what, error, plain_error, documented)
    if found and VERBOSE:
        found.append("".join(traceback.format_exception(error))[-6000:])
    return found


def judged(what: str, error: BaseException, plain_error: Optional[BaseException],
           documented: Dict[str, str]) -> List[str]:
    kind = type(error).__name__
    text = text_of(error)
    root = root_cause(error)
    where = origin(root)
    found = []
    if not isinstance(error, Exception):
        # Interrupts and exits pass unchanged: only ones the model raised itself.
        if plain_error is None or type(plain_error) is not type(error):
            found.append(f"{what}: {kind} that the model did not raise: {text[:200]}")
        return found
    if isinstance(error, SystemError) or UNCLEAR.search(text) or not text.strip():
        if not (where == "user" and root is error):
            found.append(f"{what}: unclear {kind}: {text[:300]!r} (from {where})")
    # The user's own error unchanged (a converter's), or the same error the model raises
    # when it runs plainly (a module tree too broken to walk).
    passed_through = (where == "user" and root is error) or (
        plain_error is not None and type(plain_error) is type(error))
    if not isinstance(error, CLEAR) and kind not in documented and not passed_through:
        found.append(f"{what}: {kind} is no clear refusal: {text[:300]} (from {where}: "
                     f"{innermost_file(root)})")
    if plain_error is None and not found:
        refusal = isinstance(error, (ValueError, TypeError)) and root is error and where == "ours"
        if not (refusal or where == "user" or kind in documented):
            found.append(f"{what} failed on a model that runs: {kind}: {text[:300]} "
                         f"(root {type(root).__name__} from {where}: {innermost_file(root)})")
    return found


# --- running the model plainly -------------------------------------------------------------------


def arguments(sample: Any) -> Tuple[Any, ...]:
    return tuple(sample) if isinstance(sample, (tuple, list)) else (sample,)


def run_plainly(model: Any, samples: List[Any]) -> Tuple[List[Optional[BaseException]], set]:
    """Per call, None or what the model raised (evaluation mode, no gradients, in turn); and
    where the model's forward changed the model or the samples itself."""
    results: List[Optional[BaseException]] = []
    try:
        for module in model.modules():
            module.training = False
    except Exception:
        pass
    before = Snapshot(model, samples)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for sample in samples:
            try:
                with torch.no_grad():
                    model(*arguments(sample))
                results.append(None)
            except KeyboardInterrupt:
                raise
            except BaseException as error:  # noqa: B036 - the model's interrupts too
                error.__traceback__ = None
                results.append(error)
    return results, own_changes(before.differences(samples))


# --- state that export must leave as it was ------------------------------------------------------


def tensor_state(t: Any) -> Any:
    if not isinstance(t, torch.Tensor):
        return ("object", id(t))
    version = None
    try:
        version = t._version
    except Exception:
        pass
    values = None
    if t.device.type != "meta" and not t.is_sparse and t.layout == torch.strided and \
            not t.is_nested:
        try:
            values = t.detach().clone()
        except Exception:
            values = None
    try:
        shape = tuple(t.shape)
    except RuntimeError:  # nested tensors have no single shape
        shape = None
    return (id(t), version, t.requires_grad, t.grad is None, shape, values)


def same_tensor_state(a: Any, b: Any) -> bool:
    if a[0] == "object" or b[0] == "object":
        return a == b
    if a[:5] != b[:5]:
        return False
    if a[5] is None or b[5] is None:
        return a[5] is None and b[5] is None
    try:
        return bool(torch.equal(a[5], b[5]) or ((a[5] != a[5]) | (a[5] == b[5])).all())
    except Exception:
        return False


IMMUTABLE = (str, bytes, int, float, complex, bool, type(None), torch.dtype, torch.device)


def identity(value: Any) -> Any:
    """What stays the same while a binding does: an immutable value itself, else the object."""
    return ("value", value) if isinstance(value, IMMUTABLE) else ("object", id(value))


def module_state(module: nn.Module) -> Dict[Tuple[str, str], Any]:
    """(table, entry) -> state, for everything of the module an export might touch."""
    state: Dict[Tuple[str, str], Any] = {}
    attributes = getattr(module, "__dict__", {})
    for key, value in attributes.items():
        state[("attribute", key)] = identity(value)
    for table in HOOK_TABLES:
        value = attributes.get(table)
        if isinstance(value, dict):
            state[("hooks", table)] = [(k, id(v)) for k, v in value.items()]
    for table in ("_parameters", "_buffers", "_memories", "_modules"):
        value = attributes.get(table)
        if isinstance(value, dict):
            state[(table, "")] = sorted(map(str, value))
            for k, v in value.items():
                state[(table, str(k))] = tensor_state(v) if isinstance(v, torch.Tensor) else \
                    identity(v)
    return state


def same_state(a: Any, b: Any) -> bool:
    if isinstance(a, tuple) and len(a) == 6 and isinstance(b, tuple) and len(b) == 6:
        return same_tensor_state(a, b)
    return a == b


# What an export promises to put back even where the model's own forward rebinds it.
RESTORED = ("_buffers", "_memories")


def global_state() -> Dict[str, Any]:
    registry = torch.nn.modules.module
    return {
        "grad": torch.is_grad_enabled(),
        "inference": torch.is_inference_mode_enabled(),
        "gc": gc.isenabled(),
        "function modes": torch._C._len_torch_function_stack(),
        "torch function": torch._C._is_torch_function_enabled(),
        "default dtype": torch.get_default_dtype(),
        "recursion limit": sys.getrecursionlimit(),
        "global hooks": [len(getattr(registry, name, {})) for name in (
            "_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks",
            "_global_module_registration_hooks")],
        "warning filters": len(warnings.filters),
        "threads": threading.active_count(),
    }


def sample_state(samples: List[Any]) -> List[Any]:
    state = []
    for sample in samples:
        items = list(sample) if isinstance(sample, (tuple, list)) else [sample]
        state.append([tensor_state(item) for item in items])
    return state


def change(old: Any, new: Any) -> str:
    if isinstance(old, dict) and isinstance(new, dict):
        added = sorted(set(new) - set(old), key=str)
        gone = sorted(set(old) - set(new), key=str)
        rebound = sorted((k for k in old if k in new and old[k] != new[k]), key=str)
        return f"added {added}, removed {gone}, rebound {rebound}"
    return f"{str(old)[:120]} -> {str(new)[:120]}"


class Snapshot:
    def __init__(self, model: Any, samples: List[Any]):
        self.modules: List[Tuple[nn.Module, Dict[Tuple[str, str], Any]]] = []
        if isinstance(model, nn.Module):
            try:
                self.modules = [(m, module_state(m)) for m in model.modules()]
            except Exception:
                self.modules = []
        self.samples = sample_state(samples)
        self.globals = global_state()

    def differences(self, samples: List[Any]) -> Dict[Tuple[Any, ...], str]:
        """What changed since the snapshot, by where it is."""
        found: Dict[Tuple[Any, ...], str] = {}
        for position, (module, before) in enumerate(self.modules):
            after = module_state(module)
            name = type(module).__name__
            for key in set(before) | set(after):
                if key not in after:
                    found[(position,) + key] = f"{name}: {key[0]} {key[1]!r} removed"
                elif key not in before:
                    found[(position,) + key] = f"{name}: {key[0]} {key[1]!r} added"
                elif not same_state(before[key], after[key]):
                    found[(position,) + key] = f"{name}: {key[0]} {key[1]!r} changed"
        now = sample_state(samples)
        for k, (a, b) in enumerate(zip(self.samples, now)):
            if len(a) != len(b) or not all(same_tensor_state(x, y) for x, y in zip(a, b)):
                found[("sample", k)] = f"sample {k}: {[x[:5] for x in a]} -> {[y[:5] for y in b]}"
        after_globals = global_state()
        for key, value in self.globals.items():
            if after_globals[key] != value and key != "threads":
                found[("global", key)] = (f"interpreter state {key!r}: {value} -> "
                                          f"{after_globals[key]}")
        return found


def own_changes(differences: Dict[Tuple[Any, ...], str]) -> set:
    """What the model's forward changes itself (seen on the copy that ran plainly), except
    what export puts back."""
    return {key for key in differences
            if not (len(key) == 3 and key[1] in RESTORED) and key[0] != "global"
            and key[1:] != ("attribute", "training")}


# --- export and check ----------------------------------------------------------------------------


class PhaseExporter(VANTLEExporter):
    """Replaces a phase method: export then calls every phase as a method."""

    def _capture_shapes(self, model: Any, sample: Any) -> None:
        super()._capture_shapes(model, sample)


class ConvertingExporter(VANTLEExporter):
    def _convert_module(self, m: Any, in_shape: Any, out_shape: Any) -> Any:
        return super()._convert_module(m, in_shape, out_shape)


def call_export(settings: Dict[str, Any], model: Any, sample: Any) -> Any:
    settings = dict(settings)
    via = settings.pop("via", None)
    if via is None:
        return export_ir(model, sample, **settings)
    custom_map = settings.pop("custom_map", None)
    if via == "subclass":
        return PhaseExporter(**settings).export(model, sample, custom_map)
    if via == "convert_override":
        return ConvertingExporter(**settings).export(model, sample, custom_map)
    exporter = VANTLEExporter(**settings)
    if via == "reuse":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            exporter.export(nn.Sequential(nn.Linear(3, 2), nn.ReLU()), torch.randn(2, 3))
    if via == "phases":
        exporter._capture_shapes(model, sample)
        return exporter._export_sequential(model, sample, custom_map)
    return exporter.export(model, sample, custom_map)


def ours(caught: List[warnings.WarningMessage]) -> List[str]:
    """Our warnings: they point at the caller's line, which is in this file."""
    return [str(w.message) for w in caught
            if issubclass(w.category, UserWarning) and os.path.abspath(w.filename) ==
            os.path.abspath(__file__)]


def check_graph_argument(choice: Optional[str], graph: Any, folder: str) -> Any:
    if choice is None:
        return graph
    if choice == "none":
        return None
    if choice == "missing_path":
        return os.path.join(folder, "missing.vx2")
    if choice == "empty":
        return ir.Graph(nodes={}, edges=[])
    if choice == "other":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return export_ir(nn.Sequential(nn.Linear(3, 2)), torch.randn(1, 3))
    if choice == "written":
        path = os.path.join(folder, "graph.vx2")
        try:
            ir.write(path, graph)
        except Exception:
            return graph
        return path
    kind = ir.Output if choice == "no_output" else ir.Input
    nodes = {k: v for k, v in graph.nodes.items() if not isinstance(v, kind)}
    return ir.Graph(nodes=nodes, edges=list(graph.edges))


def check_samples(choice: Optional[str], samples: List[Any]) -> List[Any]:
    if choice == "none":
        return []
    if choice == "more":
        return samples * 3
    if choice == "list_of_steps":
        return [list(samples)]
    if choice == "other_batch" and isinstance(samples[0], torch.Tensor) and samples[0].dim():
        return [torch.randn((samples[0].shape[0] + 1,) + tuple(samples[0].shape[1:]))]
    return samples


def watched(built: Any) -> List[Any]:
    """The objects of a case that must be gone once it is over."""
    objects = [built.model]
    for sample in built.samples:
        objects += list(sample) if isinstance(sample, (tuple, list)) else [sample]
    return objects


def run_case(case: Any, folder: str, watch: Optional[Callable[[List[Any]], None]] = None
             ) -> Outcome:
    """Runs one case and returns what happened; findings are in ``Outcome.findings``.
    ``watch`` gets the models and samples, for a leak check once they should be gone."""
    plain_copy = case.build()
    if watch is not None:
        watch(watched(plain_copy))
    outcome = Outcome(" ".join(plain_copy.label))
    try:
        plain, changes = run_plainly(plain_copy.model, plain_copy.samples)
    finally:
        for undo in plain_copy.cleanup:
            undo()
    del plain_copy
    first_error = plain[0] if plain else None
    any_error = next((e for e in plain if e is not None), None)
    if any_error is not None:
        outcome.plain = f"raised:{type(any_error).__name__}"

    built = case.build()
    if watch is not None:
        watch(watched(built))
    try:
        judge(built, first_error, any_error, changes, outcome, folder)
    finally:
        for undo in built.cleanup:
            undo()
    return outcome


def judge(built: Any, first_error: Optional[BaseException], any_error: Optional[BaseException],
          changes: set, outcome: Outcome, folder: str) -> None:
    model, samples = built.model, built.samples
    before = Snapshot(model, samples)
    graph = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            graph = call_export(built.export, model, samples[0])
        except KeyboardInterrupt:
            raise
        except BaseException as error:  # noqa: B036
            outcome.export = f"raised:{type(error).__name__}"
            outcome.findings += judge_error("export", error, first_error, built.documented)
            del error
    warned = ours(caught)
    if graph is not None:
        outcome.export = "warned" if warned else "graph"
        if not isinstance(graph, ir.Graph):
            outcome.findings.append(f"export returned {type(graph).__name__}, not an ir.Graph")
            graph = None
        elif first_error is not None:
            outcome.findings.append(
                f"export returned a graph for a model that fails on the sample: "
                f"{type(first_error).__name__}: {text_of(first_error)[:200]}")
        if built.export.get("strict") and warned:
            outcome.findings.append(f"strict export warned: {warned[0][:200]}")
    for key, difference in before.differences(samples).items():
        if key not in changes:
            outcome.findings.append(f"export changed {difference}")
    if graph is None:
        return

    graph_argument = check_graph_argument(built.check.get("graph"), graph, folder)
    check_with = check_samples(built.check.get("samples"), samples)
    options = {key: value for key, value in built.check.items() if key == "atol"}
    if "custom_map" in built.export and isinstance(built.export["custom_map"], dict):
        options["custom_map"] = built.export["custom_map"]
    before = Snapshot(model, samples)
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        try:
            report = check_export(model, graph_argument, *check_with, **options)
        except KeyboardInterrupt:
            raise
        except BaseException as error:  # noqa: B036
            outcome.check = f"raised:{type(error).__name__}"
            plain_error = any_error if check_with is samples else None
            if check_with is not samples or graph_argument is not graph or "atol" in options:
                # An odd call: only the kind of error is judged, not whether the model runs.
                plain_error = error if isinstance(error, Exception) else any_error
            outcome.findings += judge_error("check_export", error, plain_error,
                                            built.documented)
            report = None
            del error
    if report is not None:
        if not isinstance(report, ExportCheck):
            outcome.findings.append(f"check_export returned {type(report).__name__}")
        else:
            str(report)
            outcome.check = "report" if report.ok else "report-mismatch"
            plain_call = graph_argument is graph and check_with is samples and "atol" not in options
            outcome.inexact = (plain_call and not warned and not report.ok
                               and "custom_map" not in built.export and any_error is None
                               and not built.export.get("spiking"))  # SpikingAffine by request
    for key, difference in before.differences(samples).items():
        if key not in changes:
            outcome.findings.append(f"check_export changed {difference}")
