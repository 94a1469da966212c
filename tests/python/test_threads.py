"""Calls release the GIL: Python threads run calls side by side on the shared pool."""

import threading
import time

import kx
from conftest import ENGINE, count, order_xml, rows, upper_keys

SLOW_QUERY = {
    "SQLite": "with recursive c(x) as (select 1 union all select x + 1 from c where x < 3000000) "
              "select count(*) as N from c",
    "PostgreSQL": "select count(*) as N from (select pg_sleep(0.4)) s",
}


def test_eight_threads_add_distinct_orders(home):
    per_thread = 5
    failures = []
    ids = []
    lock = threading.Lock()

    def work(n: int) -> None:
        orders = kx.create("C_JBOrder")
        try:
            for k in range(per_thread):
                new_id = orders.add(order_xml(CostRemark=f"t{n}-{k}"), "KX", "HKG")
                with lock:
                    ids.append(new_id)
        except Exception as e:  # reported below, with the thread
            failures.append(f"thread {n}: {e!r}")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    stored = rows("select JB_NO_ID, JB_NO, COST_REMARK from JB_ORDER")
    assert len(stored) == 8 * per_thread == count("JB_ORDER")
    assert sorted(r["COST_REMARK"] for r in stored) == sorted(f"t{n}-{k}" for n in range(8) for k in range(per_thread))
    assert len({r["JB_NO"] for r in stored}) == len(stored)
    assert sorted(int(i) for i in ids) == sorted(r["JB_NO_ID"] for r in stored)


def test_python_runs_while_a_call_runs(home):
    """Another thread keeps running while a long call runs: the call does not hold the GIL."""
    ticks = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            now = time.monotonic()
            if not ticks or now - ticks[-1] >= 0.001:
                ticks.append(now)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        helper = kx.create("S_DBHelpForKX")
        started = time.monotonic()
        result = upper_keys(helper.RunSQLReturnRS(SLOW_QUERY[ENGINE])[0])
        finished = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    assert result[0]["N"] in (1, 3000000)
    assert finished - started > 0.2, "the slow query was not slow enough to tell"
    # Holding the GIL, the call would leave the other thread no turn between its start and its end.
    during = [t for t in ticks if started + 0.05 < t < finished - 0.05]
    assert len(during) > 50, (len(during), finished - started)


def test_calls_on_one_object_from_many_threads_are_safe(home):
    profiles = kx.create("C_JBTypeProfile")
    failures = []

    def work(n: int) -> None:
        try:
            for k in range(5):
                profiles.add(f'<JBTypeProfile Code="C{n}{k}" JBTypeName="T" JBTypeCategory="TR"/>')
                assert profiles.containsKey(f"C{n}{k}") is True
        except Exception as e:
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == [] and count("JB_TYPE_PROFILE") == 20
