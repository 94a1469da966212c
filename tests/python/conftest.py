"""Shared by the tests of the kx module: a fresh component folder per test on the engine that
KX_TEST_ENGINE names (SQLite, or PostgreSQL on the server of KX_TEST_PG_SERVER), and request
documents of job orders."""

import os
import pathlib

import pytest

import kx

ENGINE = os.environ.get("KX_TEST_ENGINE", "SQLite")
SOURCE = pathlib.Path(os.environ.get("KX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))

ORDER_ATTRIBUTES = [
    ("JBNo", ""), ("JBCreateDate", "2026-12-01"), ("LastUpdateUser", "amy"), ("JBTypeCategory", "TR"),
    ("JBTypeCode", "TRK"), ("OfficeCode", "HKG"), ("VendorCode", "V001"), ("VendorName", "O'Neil & Sons"),
    ("VendorContractNo", "C-9"), ("ITNumber", "IT1"), ("ITType", "A"), ("BoundDirect", "I"),
    ("TransportMode", "TRK"), ("Quantity", "3"), ("FromPlace", "HKHKG"), ("FromDepot", "D1"),
    ("EstimatedStartDate", "2026-12-02"), ("ToPlace", "CNSZX"), ("ToDepot", "D2"),
    ("EstimatedEndDate", "2026-12-05"), ("CostRemark", "rush"),
]


def attr(value: str) -> str:
    return value.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


def line_xml(no: str, bk: str = "BK1") -> str:
    return (f'<JBContainerDetail ContainerPrefix="ABCU" ContainerNo="{no}" EmptyFullFlag="F" SOCFlag="N" '
            f'BKNo="{bk}" BLNo="BL1" ERNo="ER1" FromPlace="HKHKG" ToPlace="CNSZX" ServiceMode="CY" '
            f'ContainerType="40HC" CargoDescription="toys" Reefer="N" Hazard="N"/>')


def order_xml(lines=(), **changes: str) -> str:
    """A complete JBOrder request (a blank JBNo: the number is generated), `changes` applied."""
    values = dict(ORDER_ATTRIBUTES)
    values.update(changes)
    text = "<JBOrder" + "".join(f' {k}="{attr(v)}"' for k, v in values.items())
    if not lines:
        return text + "/>"
    return text + "><JBContainerDetails>" + "".join(lines) + "</JBContainerDetails></JBOrder>"


def config_text() -> str:
    if ENGINE == "PostgreSQL":
        database = ("PROVIDER=PostgreSQL\n"
                    f"SERVERNAME={os.environ.get('KX_TEST_PG_SERVER', '127.0.0.1')}\n"
                    f"DATABASENAME={os.environ.get('KX_TEST_PG_DATABASE') or 'kxtest'}\n"
                    f"USERID={os.environ.get('KX_TEST_PG_USER') or 'kx'}\nPASSWORD=\n")
    else:
        database = "PROVIDER=SQLite\nDATABASENAME=kxtest\n"
    return f"[DATABASE]\n{database}\n[XML]\nXMLSCHEMAPATH={SOURCE}/schemas/\n"


def upper_keys(result: list) -> list:
    """Rows with their column names in capitals (PostgreSQL answers them in small letters)."""
    return [{k.upper(): v for k, v in row.items()} for row in result]


def rows(sql: str) -> list:
    result, _ = kx.create("S_DBHelpForKX").RunSQLReturnRS(sql)
    return upper_keys(result)


def count(table: str) -> int:
    return int(rows(f"select count(*) as N from {table}")[0]["N"])


@pytest.fixture
def home(tmp_path):
    """A component folder with a Config.ini for the engine under test, its database set up and empty."""
    if ENGINE == "PostgreSQL" and not os.environ.get("KX_TEST_PG_SERVER"):
        pytest.skip("no PostgreSQL server given (KX_TEST_PG_SERVER)")
    (tmp_path / "Config.ini").write_text(config_text())
    kx.home(tmp_path)
    kx.init()
    if ENGINE == "PostgreSQL":
        kx.create("S_DBHelpForKX").RunSQL(
            "TRUNCATE JB_TYPE_PROFILE, JB_ORDER, JB_CONTAINER_DETAIL, JB_DIARY, JB_DOOR_APPOINTMENT, "
            "JB_CONTAINER_RETRIEVING_TEMP_FILE, JB_CONTAINER_RETRIEVING_TEMP_DETAIL RESTART IDENTITY")
    return tmp_path
