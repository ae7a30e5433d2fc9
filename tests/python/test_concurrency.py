"""Threads, each with a connection of its own, writing, undoing and reading at the same time."""

import collections
import random
import threading

from conftest import address, metadata_record

from velmor_utils.query.utils import Q

THREADS, ITERATIONS = 4, 250
ACTIONS = ("commit", "revert inner", "rollback inner", "rollback", "read")


def run_thread(instance, cls, number, ledger, start):
    """Does ITERATIONS seeded actions; notes in ledger what it committed and what it undid."""
    rng, prefix = random.Random(number), f"{cls}-{number}-"
    committed, undone, actions = ledger["committed"], ledger["undone"], ledger["actions"]
    mine = {"address": address(cls, None, None, 1), "conditions": Q(_address__object_id__startswith=prefix)}

    def put(object_id):
        instance.put(address(cls, object_id, "1"), {"name": object_id, "size": number})
        instance.put(*metadata_record(object_id, "1"))

    start.wait(timeout=30)
    for iteration in range(ITERATIONS):
        action = rng.choice(ACTIONS)
        actions[action] += 1
        first, second = f"{prefix}{iteration}a", f"{prefix}{iteration}b"
        if action == "read":
            assert instance.count(**mine) == len(committed)
            assert sorted(item["partition_key"] for item in instance.query(**mine)) == sorted(committed)
            continue
        instance.begin()
        put(first)
        assert instance.count(**mine) == len(committed) + 1  # its own write, not yet committed
        if action == "rollback":
            instance.rollback()
            undone.append(first)
            continue
        if action != "commit":
            instance.begin()
            put(second)
            getattr(instance, "revert" if action == "revert inner" else "rollback")()
            undone.append(second)
        instance.commit()
        committed.append(first)
    assert (instance._revert_data, instance._savepoints) == ([], [])


def test_threads_with_own_connections(connection_factory, object_table, observer):
    cls, table = object_table
    start = threading.Barrier(THREADS)
    ledgers = [{"committed": [], "undone": [], "actions": collections.Counter()} for _ in range(THREADS)]
    errors = []

    def guarded(number, instance):
        try:
            run_thread(instance, cls, number, ledgers[number], start)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append((number, error))
            start.abort()

    threads = [threading.Thread(target=guarded, args=(number, connection_factory()), daemon=True)
               for number in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []

    committed = [oid for ledger in ledgers for oid in ledger["committed"]]
    undone = [oid for ledger in ledgers for oid in ledger["undone"]]
    actions = sum((ledger["actions"] for ledger in ledgers), collections.Counter())
    assert set(actions) == set(ACTIONS) and sum(actions.values()) == THREADS * ITERATIONS
    with observer.cursor() as cursor:
        cursor.execute(f'SELECT partition_key, range_key, count(*) FROM "{table}" GROUP BY 1, 2')
        objects = {(oid, version): count for oid, version, count in cursor.fetchall()}
        cursor.execute("SELECT object_id, object_version, count(*) FROM metadata WHERE object_id LIKE %s "
                       "GROUP BY 1, 2", (f"{cls}-%",))
        metadata = {(oid, version): count for oid, version, count in cursor.fetchall()}
    expected = {(oid, "1"): 1 for oid in committed}
    assert len(expected) == len(committed) and not expected.keys() & {(oid, "1") for oid in undone}
    assert objects == expected and metadata == expected
