"""Extension modules load once per process, into one interpreter."""

import importlib
import subprocess
import sys
import textwrap

import pytest

MODULES = ["import_ir", "export_ir", "quantize", "dag_tools"]

# How a fresh interpreter tries the import in a subinterpreter and prints whether it failed
# with ImportError, and the message. From 3.13 on, subinterpreters refuse single-phase
# modules themselves unless created with the legacy settings, which leave it to the module.
SUBINTERPRETER_IMPORT = {
    "_interpreters": """
        import _interpreters as si
        failure = si.run_string(si.create("legacy"), "import vantle.bridge.{name}")
        print(failure is not None and failure.type.__name__ == "ImportError", failure and failure.msg)
        """,
    "_xxsubinterpreters": """
        import _xxsubinterpreters as si
        try:
            si.run_string(si.create(), "import vantle.bridge.{name}")
        except si.RunFailedError as error:
            kind, _, message = str(error).partition(": ")
            print(kind == "<class 'ImportError'>", message)
        """,
}


def subinterpreter_import() -> str | None:
    """The code above for this interpreter's subinterpreter module, if it has one."""
    for module, code in SUBINTERPRETER_IMPORT.items():
        try:
            importlib.import_module(module)
        except ImportError:
            continue
        return code
    return None  # pragma: no cover - depends on the interpreter build


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


@pytest.mark.skipif(subinterpreter_import() is None,
                    reason="no subinterpreter module in this interpreter")
@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    code = textwrap.dedent(subinterpreter_import()).format(name=name)
    result = run_isolated(f"import vantle.bridge.{name}\n{code}")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "True Interpreter change detected - this module can only be loaded "
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
