"""The examples in the help texts of the native modules run as doctests.

pytest's --doctest-modules only collects .py files, so the docstrings of the
extension modules are gathered here: the module, each type it defines with
the type's own methods and properties, and each module function.
"""

import doctest
import importlib
import inspect
import types

import numpy
import pytest

MODULES = ["kestrix.agc", "kestrix.filter", "kestrix.telemetry", "kestrix._blocks",
           "kestrix.channel"]

# Docstrings the help texts are known to carry examples in.
MUST_HAVE_EXAMPLES = {
    "kestrix.agc": ["kestrix.agc", "kestrix.agc.AGC", "kestrix.agc.AGC.reset",
                    "kestrix.agc.AGC.step"],
    "kestrix.filter": ["kestrix.filter"],
    "kestrix.channel": [
        "kestrix.channel",
        "kestrix.channel.FIRDecimator",
        "kestrix.channel.FIRDecimator.execute",
        "kestrix.channel.FIRDecimator.output_length",
        "kestrix.channel.Rotator",
        "kestrix.channel.Rotator.steps",
    ],
}

DESCRIPTORS = (types.MethodDescriptorType, types.GetSetDescriptorType,
               types.MemberDescriptorType, types.ClassMethodDescriptorType,
               types.BuiltinFunctionType, types.WrapperDescriptorType,
               staticmethod, classmethod, property)


def import_or_skip(name):
    """The module, or a skip while it cannot be imported (not built yet)."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        pytest.skip(f"{name} is not importable: {e}")


def documented_objects(module):
    """(qualified name, object) for every docstring the module owns."""
    name = module.__name__
    yield name, module
    for attr, obj in sorted(vars(module).items()):
        if attr.startswith("__"):
            continue
        if isinstance(obj, type):
            yield f"{name}.{attr}", obj
            for member, value in obj.__dict__.items():
                if member in ("__doc__", "__new__", "__init__", "__init_subclass__",
                              "__subclasshook__", "__class_getitem__"):
                    continue
                if isinstance(value, DESCRIPTORS):
                    yield f"{name}.{attr}.{member}", value
        elif inspect.isbuiltin(obj) or inspect.isroutine(obj):
            yield f"{name}.{attr}", obj


def collect(module):
    parser = doctest.DocTestParser()
    tests = []
    for qualname, obj in documented_objects(module):
        doc = getattr(obj, "__doc__", None)
        if not isinstance(doc, str):
            continue
        tests.append(parser.get_doctest(doc, {"np": numpy}, qualname, None, None))
    return tests


@pytest.mark.parametrize("module_name", MODULES)
def test_docstring_examples(module_name):
    module = import_or_skip(module_name)
    tests = collect(module)
    runner = doctest.DocTestRunner(optionflags=0)
    report = []
    for test in tests:
        runner.run(test, out=report.append, clear_globs=True)
    summary = runner.summarize(verbose=False)
    assert summary.failed == 0, "".join(report)
    assert summary.attempted == sum(len(t.examples) for t in tests)


@pytest.mark.parametrize("module_name", sorted(MUST_HAVE_EXAMPLES))
def test_examples_present(module_name):
    module = import_or_skip(module_name)
    with_examples = {t.name for t in collect(module) if t.examples}
    missing = [n for n in MUST_HAVE_EXAMPLES[module_name] if n not in with_examples]
    assert not missing, f"no examples in: {missing}"


def test_collector_sees_properties_and_methods():
    """The walker reaches getset descriptors and methods of a native type."""
    agc = import_or_skip("kestrix.agc")
    names = {n for n, _ in documented_objects(agc)}
    assert {"kestrix.agc.AGC.gain_db", "kestrix.agc.AGC.steps",
            "kestrix.agc.settling_samples", "kestrix.agc.AGC"} <= names
