"""A job order's life from Python, by-reference values, result sets and the values that cross."""

import datetime
import xml.etree.ElementTree as ET

import pytest

import kx
from conftest import count, line_xml, order_xml, rows, upper_keys


def orders_in(answer: str) -> list:
    return ET.fromstring(answer).findall("./JBOrders/JBOrder")


def test_a_job_order_lives_from_add_to_remove(home):
    orders = kx.create("C_JBOrder")
    order_id = orders.add(order_xml([line_xml("1234565"), line_xml("7654321", bk="BK2")]), "KX", "HKG")
    assert isinstance(order_id, str) and order_id

    (order,) = orders_in(orders.getElementByXML(order_id))
    assert order.get("JBNo").startswith("KXHKG")
    assert [d.get("ContainerNo") for d in order.iter("JBContainerDetail")] == ["1234565", "7654321"]

    # Four more orders of another vendor, searched two to a page: the third page holds the fifth.
    for n in range(4):
        orders.add(order_xml(VendorCode="PAGED", CostRemark=f"n{n}"), "KX", "HKG")
    search = '<AccessKeys><AccessKey Field="VendorCode" SearchCondition="=" Key="PAGED"/></AccessKeys>'
    answer, out = orders.queryOwnedElementsByXML(CountPerPage=2, PageNumber=2, AccessKey=search)
    assert out == {"ResultCount": 4, "ResultPages": 2}
    assert [o.get("CostRemark") for o in orders_in(answer)] == ["n2", "n3"]

    (issued,) = orders_in(orders.Issue(order_id, "amy", "852-1234", "ops@vendor.example"))
    assert (issued.get("JBState"), issued.get("IssueUser")) == ("Issued", "amy")

    assert orders.AddUserDiary(order_id, "amy", "call an hour ahead") is None
    diary = [d.get("JBDiaryText") for d in ET.fromstring(orders.QueryJBDiary(order_id)).iter("JBDiary")]
    assert diary[-1] == "call an hour ahead" and len(diary) == 3

    assert orders.containsKey(order_id) is True
    orders.remove(order_id)
    assert orders.containsKey(order_id) is False
    assert count("JB_CONTAINER_DETAIL") == 0
    assert count("JB_ORDER") == 4


def test_names_of_members_and_parameters_in_any_letter_case(home):
    orders = kx.create("c_jborder")
    order_id = orders.ADD(elementxml=order_xml(), ASTRCOMPANYCODE="KX", astrOfficeCode="HKG")
    assert orders.ContainsKey(KEY=order_id) is True
    assert repr(orders) == "<kx.Object C_JBOrder>"
    assert "queryOwnedElementsByXML" in dir(orders)


def test_by_reference_values_and_result_sets(home):
    orders = kx.create("C_JBOrder")
    order_id = orders.add(order_xml(), "KX", "HKG")
    # A by-reference parameter given by the caller comes back with its final value.
    storage = kx.create("S_JBOrder")
    jb_no = rows("select JB_NO from JB_ORDER")[0]["JB_NO"]
    found, out = storage.containsJBNo(jb_no, 0)
    assert found is True and list(out) == ["JBNoId"] and str(out["JBNoId"]) == order_id

    helper = kx.create("S_DBHelpForKX")
    result, out = helper.RunSQLReturnRS(
        "select JB_NO_ID, JB_NO, JB_CREATE_DATE, QUANTITY, COST_REMARK, ISSUE_USER from JB_ORDER")
    assert out == {"params": None}
    assert upper_keys(result) == [{"JB_NO_ID": int(order_id), "JB_NO": jb_no, "JB_CREATE_DATE": datetime.date(2026, 12, 1),
                       "QUANTITY": 3, "COST_REMARK": "rush", "ISSUE_USER": ""}]
    empty, _ = helper.RunSQLReturnRS("select JB_NO from JB_ORDER where JB_NO = 'none'")
    assert empty == []


def test_properties_are_attributes_with_their_values(home):
    entity = kx.create("C_JBOrder").JBOrder
    assert repr(entity) == "<kx.Object E_JBOrder>"
    assert entity.JBCreateDate == datetime.date(1899, 12, 30)
    entity.JBCreateDate = datetime.date(2026, 2, 3)
    assert entity.JBCreateDate == datetime.date(2026, 2, 3) and type(entity.JBCreateDate) is datetime.date
    entity.JBCreateDate = datetime.datetime(2026, 2, 3, 4, 5, 6)
    assert entity.JBCreateDate == datetime.datetime(2026, 2, 3, 4, 5, 6)
    entity.VendorName = "Ünal Lojistik"
    assert entity.VendorName == "Ünal Lojistik"
    assert isinstance(entity.isDirty(), bool)
    with pytest.raises(AttributeError, match="no member 'NoSuchThing'"):
        entity.NoSuchThing = 1
    with pytest.raises(AttributeError, match="cannot be assigned"):
        kx.create("S_DBHelpForKX").ClassDebugID = 3


def test_wrong_arguments_are_type_errors_naming_the_parameter(home):
    orders = kx.create("C_JBOrder")
    with pytest.raises(TypeError, match="missing required argument 'astrCompanyCode'") as missing:
        orders.add(order_xml())
    assert isinstance(missing.value, kx.Error) and missing.value.number == 449
    with pytest.raises(TypeError, match=r"takes at most 1 argument \(2 given\)") as many:
        orders.getElementByXML("1", "2")
    assert many.value.number == 450
    with pytest.raises(TypeError, match="argument 'strUserCode' must be str, int, float"):
        orders.Cancel("1", {"user": "amy"})
    with pytest.raises(TypeError, match="unexpected keyword argument 'Colour'"):
        orders.getElementByXML(key="1", Colour="red")
    with pytest.raises(TypeError, match="multiple values for argument 'key'"):
        orders.getElementByXML("1", KEY="1")
    # A value the member's parameter type refuses: the registry's conversion names it.
    with pytest.raises(TypeError, match="argument 'PageNumber' does not fit: Type mismatch") as mismatch:
        orders.queryOwnedElementsByXML(0, 0, 10, "first")
    assert (mismatch.value.number, mismatch.value.description) == (13, "Type mismatch")


def test_unknown_class_and_member(home):
    with pytest.raises(kx.Error) as unknown:
        kx.create("C_NoSuchClass")
    assert unknown.value.number == 429
    with pytest.raises(AttributeError):
        kx.create("C_JBOrder").noSuchMember
    assert "C_JBOrder" in kx.classes() and "S_DBHelpForKX" in kx.classes()
