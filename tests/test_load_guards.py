"""Extension modules load once per process, into one interpreter."""

import importlib
import subprocess
import sys
import textwrap

import pytest

MODULES = ["import_ir", "export_ir", "quantize", "dag_tools"]

try:
    import _xxsubinterpreters as subinterpreters
except ImportError:  # pragma: no cover - depends on the interpreter build
    subinterpreters = None


def run_isolated(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter so that the load state starts clean."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize("name", MODULES)
def test_second_initialisation_is_refused(name):
    result = run_isolated(
        f"""
        import importlib, sys
        importlib.import_module("vantle.bridge.{name}")
        del sys.modules["vantle.bridge.{name}"]
        try:
            importlib.import_module("vantle.bridge.{name}")
        except ImportError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    expected = f"Module '{name}' has already been imported. Re-initialisation is not supported."
    assert result.stdout.strip() == expected


@pytest.mark.skipif(subinterpreters is None, reason="no subinterpreter module in this interpreter")
@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    result = run_isolated(
        f"""
        import _xxsubinterpreters as si
        import vantle.bridge.{name}
        interp = si.create()
        try:
            si.run_string(interp, "import vantle.bridge.{name}")
        except si.RunFailedError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )


def test_missing_dependency_fails_the_load_with_import_error():
    result = run_isolated(
        """
        import sys
        sys.modules["vantle.ir"] = None  # makes `import vantle.ir` fail
        try:
            import vantle.bridge.import_ir
        except ImportError as error:
            print(type(error).__name__, error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError ")
    assert "vantle.ir" in result.stdout


@pytest.mark.parametrize(
    "name,dependency,attribute",
    [("import_ir", "torch", "torch"), ("quantize", "torch", "torch"), ("dag_tools", "rustworkx", "rx")],
)
def test_dependencies_are_module_attributes(name, dependency, attribute):
    module = importlib.import_module(f"vantle.bridge.{name}")
    assert getattr(module, attribute) is importlib.import_module(dependency)
