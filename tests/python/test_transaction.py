"""`with kx.transaction():` keeps all of its calls or none; outside one each call keeps its own."""

import pytest

import kx
from conftest import count, line_xml, order_xml

PROFILE = '<JBTypeProfile Code="{}" JBTypeName="Trucking" JBTypeCategory="TR"/>'


def test_calls_in_a_transaction_are_kept_together(home):
    with kx.transaction():
        kx.create("C_JBOrder").add(order_xml([line_xml("1234565")]), "KX", "HKG")
        kx.create("C_JBTypeProfile").add(PROFILE.format("TRK"))
    assert (count("JB_ORDER"), count("JB_CONTAINER_DETAIL"), count("JB_TYPE_PROFILE")) == (1, 1, 1)


def test_an_exception_rolls_back_every_call(home):
    with pytest.raises(RuntimeError, match="changed my mind"):
        with kx.transaction():
            kx.create("C_JBOrder").add(order_xml([line_xml("1234565")]), "KX", "HKG")
            kx.create("C_JBTypeProfile").add(PROFILE.format("TRK"))
            assert count("JB_ORDER") == 1  # seen inside the transaction
            raise RuntimeError("changed my mind")
    assert (count("JB_ORDER"), count("JB_CONTAINER_DETAIL"), count("JB_DIARY"), count("JB_TYPE_PROFILE")) == (
        0, 0, 0, 0)


def test_abort_rolls_back_without_an_error(home):
    with kx.transaction() as t:
        kx.create("C_JBTypeProfile").add(PROFILE.format("TRK"))
        t.abort()
        kx.create("C_JBTypeProfile").add(PROFILE.format("BRG"))
    assert count("JB_TYPE_PROFILE") == 0


def test_a_failed_call_caught_inside_still_rolls_back_and_says_so(home):
    profiles = kx.create("C_JBTypeProfile")
    with pytest.raises(kx.Error, match="rolled back"):
        with kx.transaction():
            profiles.add(PROFILE.format("TRK"))
            with pytest.raises(kx.Error):
                profiles.add("<JBTypeProfile/>")
    assert count("JB_TYPE_PROFILE") == 0


def test_an_inner_transaction_joins_the_outer(home):
    profiles = kx.create("C_JBTypeProfile")
    with pytest.raises(ValueError):
        with kx.transaction():
            profiles.add(PROFILE.format("TRK"))
            with kx.transaction():
                profiles.add(PROFILE.format("BRG"))
            raise ValueError("both go")
    assert count("JB_TYPE_PROFILE") == 0


def test_outside_a_transaction_each_call_keeps_its_own(home):
    profiles = kx.create("C_JBTypeProfile")
    profiles.add(PROFILE.format("TRK"))
    with pytest.raises(kx.Error):
        profiles.add(PROFILE.format("TRK"))  # the code exists: refused, the first stays
    assert count("JB_TYPE_PROFILE") == 1


def test_a_transaction_is_entered_once(home):
    t = kx.transaction()
    with t:
        pass
    with pytest.raises(ValueError):
        t.__enter__()
    with pytest.raises(ValueError):
        t.abort()
