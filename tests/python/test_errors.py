"""kx.Error carries what `kx call --json` prints for the same failure."""

import json
import os
import subprocess

import pytest

import kx
from conftest import order_xml


def kx_call_error(home, *args: str) -> dict:
    binary = os.environ.get("KX_BINARY")
    if not binary:
        pytest.skip("KX_BINARY (the kx command) is not given")
    done = subprocess.run([binary, "--home", str(home), "--quiet", "call", "--json", *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stdout + done.stderr
    return json.loads(done.stdout)["error"]


def python_error(call) -> dict:
    with pytest.raises(kx.Error) as failure:
        call()
    e = failure.value
    # An argument error's text names the parameter; the fields stay those of the registry's error.
    assert str(e) == (e.message if isinstance(e, kx.ArgumentError) else e.description)
    return {"number": e.number, "source": e.source, "description": e.description}


@pytest.mark.parametrize("case", ["invalid document", "number taken", "unknown class", "argument missing"])
def test_error_fields_are_those_of_kx_call(home, case):
    orders = kx.create("C_JBOrder")
    taken = order_xml(JBNo="JB7")
    orders.add(taken, "KX", "HKG")
    calls = {
        "invalid document": (lambda: orders.add("<JBOrder JBNo='X'/>", "KX", "HKG"),
                             ["C_JBOrder", "add", "<JBOrder JBNo='X'/>", "KX", "HKG"]),
        "number taken": (lambda: orders.add(taken, "KX", "HKG"), ["C_JBOrder", "add", taken, "KX", "HKG"]),
        "unknown class": (lambda: kx.create("C_Missing"), ["C_Missing", "add"]),
        "argument missing": (lambda: orders.Cancel("1"), ["C_JBOrder", "Cancel", "1"]),
    }
    call, args = calls[case]
    expected = kx_call_error(home, *args)
    assert python_error(call) == expected
    assert expected["number"] != 0 and expected["description"]
