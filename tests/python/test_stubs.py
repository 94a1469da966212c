"""The type stubs (kx.pyi) describe the registry's classes well enough for `mypy --strict`."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import kx

EXAMPLE = textwrap.dedent("""
    import datetime
    import kx

    kx.home("/tmp")
    kx.init()
    orders = kx.create("C_JBOrder")
    new_id: str = orders.add("<JBOrder/>", "KX", astrOfficeCode="HKG")
    answer, out = orders.queryOwnedElementsByXML(CountPerPage=10, PageNumber=1)
    count: int = out["ResultCount"]
    orders.JBOrder.JBCreateDate = datetime.date(2026, 12, 1)
    with kx.transaction() as t:
        orders.Cancel(new_id, "amy")
        t.abort()
    try:
        orders.remove(new_id)
    except kx.Error as e:
        print(e.number, e.source, e.description)
    names: list[str] = kx.classes()
""")


def mypy(tmp_path: pathlib.Path, script: str) -> subprocess.CompletedProcess:
    if not shutil.which("mypy") and subprocess.run([sys.executable, "-m", "mypy", "--version"],
                                                   capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    (tmp_path / "example.py").write_text(script)
    stubs = pathlib.Path(kx.__file__).parent
    assert (stubs / "kx.pyi").is_file(), "kx.pyi is not beside the module"
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "example.py")],
                          capture_output=True, text=True, env=env, timeout=300)


def test_an_example_passes_mypy_strict(tmp_path):
    done = mypy(tmp_path, EXAMPLE)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_finds_a_member_or_parameter_that_does_not_exist(tmp_path):
    done = mypy(tmp_path, EXAMPLE + 'orders.addd("<JBOrder/>")\norders.Cancel("1", strUser="amy")\n')
    assert done.returncode == 1
    assert '"_C_JBOrder" has no attribute "addd"' in done.stdout
    assert 'Unexpected keyword argument "strUser"' in done.stdout


def test_the_stubs_name_every_class_and_member():
    text = kx._stubs()
    for name in kx.classes():
        assert f"class _{name}(Object):" in text
        assert f'def create(name: Literal["{name}"]) -> _{name}: ...' in text
    assert "    def Issue(self, JBNoId: Value, strIssueUser: Value, IssueFaxNo: Value, IssueEMail: Value) -> Any" in text
