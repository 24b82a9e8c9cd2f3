"""What post-training quantization does to each layer, measured before it is done.

    report = quantization_report(model, config, calibration_data=[sample])
    print(report)                 # one table row per layer
    worst = min(report, key=lambda row: row.sqnr_db)
    rows = report.to_dicts()      # plain data for scripts

The report is a dry run of :func:`vantle.bridge.quantize.quantize` with the same configuration:
it resolves each module's precision and computes the scale, zero point and rounded weights that
``quantize`` would, with the module's own ``_compute_scale_zp`` and ``_quantize_tensor``, but
changes neither the weights nor the metadata nor the training flags of the model. Read it to
choose ``per_node_precision`` (layers with a low SQNR are the ones to keep wider), then quantize.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from typing import Any, Dict, List, Optional, Sequence

import torch
from torch import nn

from vantle.bridge import quantize as _quantize
from vantle.bridge._text_table import text_table

__all__ = ["LayerReport", "QuantizationReport", "quantization_report"]


@dataclass(frozen=True)
class LayerReport:
    """One layer's quantization: its grid and what rounding its weight costs.

    Attributes:
        name: the module's name as ``model.named_modules()`` gives it.
        kind: the module's class name.
        precision: the precision resolved for the module (``per_node_precision`` or default).
        bits: its bit width; 32 and more leave the layer unquantized.
        parameter: the tensor the figures describe: ``"weight"``, or ``"bias"`` for a layer
            without a weight parameter.
        weight_min, weight_max: the range of that tensor before quantization.
        scale, zero_point: its grid; None for an unquantized layer.
        max_abs_error: the largest absolute difference between the tensor and its rounded value.
        sqnr_db: signal-to-quantization-noise ratio in dB, 10 log10(sum w^2 / sum (w - q)^2);
            ``inf`` where rounding is exact (and for unquantized layers).
        bias_scale, bias_max_abs_error: the same for the bias when the layer quantizes both.
        activation_min, activation_max: the layer's output range over the calibration inputs;
            None without calibration.
    """

    name: str
    kind: str
    precision: str
    bits: int
    parameter: str
    weight_min: float
    weight_max: float
    scale: Optional[float]
    zero_point: Optional[int]
    max_abs_error: float
    sqnr_db: float
    bias_scale: Optional[float] = None
    bias_max_abs_error: Optional[float] = None
    activation_min: Optional[float] = None
    activation_max: Optional[float] = None


class QuantizationReport(List[LayerReport]):
    """The rows of a report in ``model.named_modules()`` order; ``str()`` gives the table."""

    def to_dicts(self) -> List[Dict[str, Any]]:
        """The rows as plain dictionaries (field name -> value), e.g. for ``json.dumps``."""
        return [asdict(row) for row in self]

    def table(self, names: Optional[Dict[str, str]] = None) -> str:
        """The report as a text table; ``names`` may rename layers (e.g. to graph node names)."""
        names = names or {}
        header = ("layer", "kind", "precision", "weight range", "scale", "zp", "max |err|",
                  "SQNR dB", "activation range")
        lines = [header]
        for row in self:
            lines.append((
                names.get(row.name, row.name) or "(model)",
                row.kind,
                row.precision,
                _range_text(row.weight_min, row.weight_max),
                "-" if row.scale is None else f"{row.scale:.4g}",
                "-" if row.zero_point is None else str(row.zero_point),
                f"{row.max_abs_error:.3g}",
                _sqnr_text(row.sqnr_db),
                _range_text(row.activation_min, row.activation_max),
            ))
        return "\n".join(text_table(lines, rule=True))

    def __str__(self) -> str:
        return self.table()


def quantization_report(
    model: nn.Module,
    config: Any,
    calibration_data: Optional[Sequence[Any]] = None,
) -> QuantizationReport:
    """Per layer: precision, weight range, scale, zero point and rounding error, without changes.

    Args:
        model: the model to be quantized; it is left exactly as it was (weights, attributes,
            training flags), except that calibration inputs run through it.
        config: a :class:`vantle.bridge.quantize.QuantizationConfig`, as given to ``quantize``.
        calibration_data: optional list of inputs; each is run through the model (in evaluation
            mode, without autograd) and every layer's output range is reported.

    Returns:
        A :class:`QuantizationReport`: one :class:`LayerReport` per module that owns a ``weight``
        or ``bias`` parameter, in ``model.named_modules()`` order. Modules whose precision is 32
        bits or wider are listed with no scale and zero error.

    Raises:
        ValueError: a module's precision is unknown (raised by ``_get_bits`` as in ``quantize``).
    """
    stats: Dict[str, Dict[str, float]] = {}
    if calibration_data is not None:
        stats = _calibrate(model, list(calibration_data), config)
    per_node = config.per_node_precision or {}
    _quantize._check_per_node_names(model, config)
    report = QuantizationReport()
    with torch.no_grad():
        for name, module in model.named_modules():
            precision = per_node.get(name, config.default_precision)
            bits = int(_quantize._get_bits(precision))
            tensors = {key: _own_parameter(module, key) for key in ("weight", "bias")}
            if all(tensor is None for tensor in tensors.values()):
                continue
            measured = {key: _measure(tensor, bits, bool(config.symmetric))
                        for key, tensor in tensors.items() if tensor is not None}
            parameter = "weight" if "weight" in measured else "bias"
            main = measured[parameter]
            bias = measured.get("bias") if parameter == "weight" else None
            activation = stats.get(name, {})
            report.append(LayerReport(
                name=name,
                kind=type(module).__name__,
                precision=precision,
                bits=bits,
                parameter=parameter,
                weight_min=main.low,
                weight_max=main.high,
                scale=main.scale,
                zero_point=main.zero_point,
                max_abs_error=main.max_abs_error,
                sqnr_db=main.sqnr_db,
                bias_scale=None if bias is None else bias.scale,
                bias_max_abs_error=None if bias is None else bias.max_abs_error,
                activation_min=activation.get("min"),
                activation_max=activation.get("max"),
            ))
    return report


@dataclass(frozen=True)
class _Measured:
    low: float
    high: float
    scale: Optional[float]
    zero_point: Optional[int]
    max_abs_error: float
    sqnr_db: float


def _own_parameter(module: nn.Module, name: str) -> Optional[torch.Tensor]:
    # quantize rounds exactly the attributes named weight and bias that are Parameters.
    value = getattr(module, name, None)
    return value.detach() if isinstance(value, nn.Parameter) else None


def _measure(tensor: torch.Tensor, bits: int, symmetric: bool) -> _Measured:
    low, high = float(tensor.min()), float(tensor.max())
    if bits >= 32:
        return _Measured(low, high, None, None, 0.0, math.inf)
    scale, zero_point = _quantize._compute_scale_zp(low, high, bits, symmetric)
    # The grid follows the configuration, as in quantize (not the zero point alone).
    rounded = _quantize._quantize_tensor(tensor, scale, zero_point, bits, symmetric=symmetric)
    error = (rounded.double() - tensor.double())
    noise = float(error.square().sum())
    signal = float(tensor.double().square().sum())
    if noise == 0.0:
        sqnr = math.inf
    elif signal == 0.0:
        sqnr = -math.inf
    else:
        sqnr = 10.0 * math.log10(signal / noise)
    return _Measured(low, high, float(scale), int(zero_point), float(error.abs().max()), sqnr)


def _calibrate(model: nn.Module, inputs: List[Any], config: Any) -> Dict[str, Dict[str, float]]:
    # _collect_statistics leaves the model in evaluation mode; a report changes nothing.
    modes = [(module, module.training) for module in model.modules()]
    try:
        return dict(_quantize._collect_statistics(model, inputs, config))
    finally:
        for module, training in modes:
            module.training = training


def _range_text(low: Optional[float], high: Optional[float]) -> str:
    if low is None or high is None:
        return "-"
    return f"[{low:.4g}, {high:.4g}]"


def _sqnr_text(value: float) -> str:
    return "exact" if value == math.inf else f"{value:.1f}"
