"""query and count end to end: objects of two class versions with their metadata rows,
read back through every kind of condition, ordering, paging and column choice."""

import operator
import uuid

import psycopg2
import pytest

from conftest import OBJECT_COLUMNS, PostgresHistoricalConnection, RecordingConnection, address, metadata_record
from velmor_data.connections.errors import VelmorConnectionError
from velmor_data.table_schemas.implementations.postgresql_history import PostgresHistoricalTableSchemaService
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.utils import Q

CLS = f"q{uuid.uuid4().hex[:10]}"
FIELDS = ("name", "size", "weight", "flag", "data", "extra")
INNER = {"k": "p", "deep": {"x": 7}}
# class version, object, version, prior version, schema type, then FIELDS
ROWS = [dict(zip(("cv", "obj", "ver", "prior", "kind") + FIELDS, row)) for row in [
    (1, "a", "1", None, "fruit", "apple", 5, 1.5, True,
     {"title": "Red Box", "n": 3, "ratio": 0.5, "ok": True, "inner": INNER}, {"tag": "one"}),
    (1, "a", "2", "1", "fruit", "Avocado", 9, 2.25, False,
     {"title": "red lamp", "n": 4, "ratio": 1.5, "ok": False, "inner": {"k": "q", "deep": {"x": 8}}}, {"tag": "two"}),
    (1, "a", "3", "2", "fruit", "banana", 2, None, True, {"title": "latest", "n": 1, "ok": True, "inner": INNER}, None),
    (1, "b", "1", None, "fruit", None, 11, 0.25, None, {"n": 2, "ratio": 2.5}, {"tag": "one"}),
    (1, "b", "2", "1", "fruit", "cherry", 7, 3.5, False, {"title": "Blue Cup", "n": 6, "inner": {"k": "p"}}, {}),
    (1, "c", "1", None, "berry", "date", 12, 1.0, True, None, None),
    (1, "c", "2", "1", "berry", "Elder", 1, 4.75, True,
     {"title": "Green", "n": 5, "ratio": 0.75, "ok": True, "inner": {"k": "r", "deep": {"x": 9}}}, {"tag": "three"}),
    (2, "d", "1", None, "fruit", "fig", 8, 2.0, False, {"title": "RED", "ok": True}, {"tag": "two"}),
    (2, "d", "2", "1", "fruit", "grape", 3, 5.5, True, {"title": "boxed red", "n": 7, "ratio": 3.25}, None),
    (2, "e", "1", None, "berry", "Honeydew", 10, 0.5, None, {"title": "Tan", "n": 8, "ok": False}, {"tag": "one"}),
    (2, "e", "2", "1", "berry", "kiwi", 4, 6.0, False, {"title": "teal", "n": 9}, {}),
    (2, "e", "3", "2", "berry", "lime", 6, 1.25, True,
     {"title": "Red Top", "n": 0, "ok": True, "inner": {"k": "q", "deep": {"x": 3}}}, {"tag": "three"}),
]]
NEXT = {(r["obj"], r["prior"]): r["ver"] for r in ROWS if r["prior"]}
for r in ROWS:  # what the metadata join adds to each row, as the query model addresses it
    r["_address"] = {"object_id": f"{CLS}-{r['obj']}", "object_version": r["ver"]}
    r["_metadata"] = {"next_version": NEXT.get((r["obj"], r["ver"])), "address": r["_address"],
                      "object_id": f"{CLS}-{r['obj']}", "object_version": r["ver"], "prior_version": r["prior"],
                      "class_schema_reference": None, "class_schema_type": f"{CLS}-{r['kind']}",
                      "is_deleted": False, "transaction": None}
ALL_VERSIONS, LATEST = address(CLS, None, None, None), Q(_address__object_version=Versions.LATEST)


def at(row, path):
    for part in path.split("__"):
        row = row.get(part) if isinstance(row, dict) else None
    return row


def key(item):
    return item["partition_key"].split("-", 1)[1], item["range_key"]


def keys(predicate, class_versions=(1, 2)):
    return {(r["obj"], r["ver"]) for r in ROWS if r["cv"] in class_versions and predicate(r)}


def is_latest(row):
    return row["_metadata"]["next_version"] is None


@pytest.fixture(scope="module")
def store(database):
    connection = PostgresHistoricalConnection()
    connection.connect(**database)  # its dbname replaces POSTGRES_DATABASE
    connection.prepare_connection()
    service = PostgresHistoricalTableSchemaService(connection)
    for class_name, class_version, columns in ((CLS, 1, OBJECT_COLUMNS), (CLS, 2, OBJECT_COLUMNS),
                                               (f"{CLS}x", 1, {"name": "text", "_metadata": "json"})):
        service.create_object_table(class_name, class_version, columns)
    connection.begin()
    for r in ROWS:
        connection.put(address(CLS, r["_address"]["object_id"], r["ver"], r["cv"]), {f: r[f] for f in FIELDS})
        connection.put(*metadata_record(r["_address"]["object_id"], r["ver"], r["prior"], f"{CLS}-{r['kind']}"))
    for name, meta in (("old", {"next_version": "2"}), ("new", {"next_version": ""}), ("bare", {})):
        connection.put(address(f"{CLS}x", f"{CLS}-{name}", "1"), {"name": name, "_metadata": meta})
    connection.commit()
    connection.disconnect()


@pytest.fixture
def reader(store, connection_factory):
    return connection_factory(RecordingConnection)


PY = {"eq": operator.eq, "neq": operator.ne, "gt": operator.gt, "gte": operator.ge, "lt": operator.lt,
      "lte": operator.le, "in": lambda v, x: v in x, "contains": operator.contains, "startswith": str.startswith,
      "endswith": str.endswith, "icontains": lambda v, x: x.upper() in v.upper(),
      "istartswith": lambda v, x: v.upper().startswith(x.upper()),
      "iendswith": lambda v, x: v.upper().endswith(x.upper())}


def case(path, lookup, value):
    # SQL's rules: NULL matches no comparison, but a boolean's "IS NOT" does.
    if lookup == "isnull":
        predicate = lambda r: (at(r, path) is None) == value  # noqa: E731
    elif lookup == "neq" and isinstance(value, bool):
        predicate = lambda r: at(r, path) is not value  # noqa: E731
    else:
        predicate = lambda r: (v := at(r, path)) is not None and PY[lookup](v, value)  # noqa: E731
    return pytest.param(Q(**{f"{path}__{lookup}": value}), predicate, id=f"{path}__{lookup}={value!r}")


CASES = [
    case("name", "eq", "apple"), case("name", "neq", "apple"), case("size", "gt", 9), case("size", "gte", 9),
    case("size", "lt", 3), case("size", "lte", 3), case("weight", "eq", 1.5), case("weight", "lt", 1.25),
    case("flag", "eq", True), case("flag", "eq", False), case("flag", "neq", True), case("size", "in", (2, 5, 12)),
    case("name", "contains", "an"), case("name", "icontains", "aN"), case("name", "startswith", "a"),
    case("name", "istartswith", "a"), case("name", "endswith", "e"), case("name", "iendswith", "E"),
    case("name", "isnull", True), case("name", "isnull", False),
    case("data__n", "eq", 3), case("data__n", "neq", 3), case("data__n", "gt", 5), case("data__n", "gte", 8),
    case("data__n", "lt", 2), case("data__n", "lte", 2), case("data__ratio", "gt", 1.0), case("data__ratio", "eq", 0.5),
    case("data__ok", "eq", True), case("data__ok", "neq", True), case("data__ok", "neq", False),
    case("data__title", "eq", "Red Box"), case("data__title", "eq", Versions.LATEST),
    case("data__title", "neq", "teal"), case("data__title", "contains", "Red"), case("data__title", "icontains", "red"),
    case("data__title", "startswith", "Re"), case("data__title", "istartswith", "rED"),
    case("data__title", "endswith", "ed"), case("data__title", "iendswith", "Red"), case("data__n", "in", (1, 3, 9)),
    case("data__title", "in", ("Tan", "teal")), case("data__title", "isnull", True),
    case("data__ratio", "isnull", False), case("data__n", "isnull", True), case("data__inner__k", "eq", "p"),
    case("data__inner__deep__x", "eq", 7), case("data__inner__deep__x", "gte", 8), case("extra__tag", "eq", "one"),
    case("_address__object_id", "eq", f"{CLS}-b"), case("_address__object_version", "eq", "2"),
    case("_address__object_version", "in", ("1", "3")), case("_metadata__class_schema_type", "eq", f"{CLS}-berry"),
    case("_metadata__prior_version", "isnull", True), case("_metadata__address__object_version", "eq", "3"),
    case("_metadata__next_version", "isnull", False),
    (LATEST, is_latest), (Q(_address__object_version="latest"), is_latest), (None, lambda r: True),
    (Q(_address__object_version=Versions.ALL), lambda r: True), (Q(_address__object_version="all"), lambda r: True),
    (LATEST & Q(size__lt=5), lambda r: is_latest(r) and r["size"] < 5),
    (~Q(flag=True), lambda r: r["flag"] is not True),
    (Q(name__icontains="AN") | Q(data__n__gte=8),
     lambda r: "AN" in (r["name"] or "").upper() or (at(r, "data__n") or 0) >= 8),
]


@pytest.mark.parametrize("conditions, predicate", CASES)
def test_conditions(reader, conditions, predicate):
    expected = keys(predicate)
    assert expected and sorted(map(key, reader.query(ALL_VERSIONS, conditions=conditions))) == sorted(expected)
    assert reader.count(ALL_VERSIONS, conditions) == len(expected)
    assert reader.count(address(CLS, None, None, 1), conditions) == len(keys(predicate, (1,)))


def test_items_carry_fields_and_metadata(reader):
    items = reader.query(ALL_VERSIONS, conditions=Q(_address__object_version=Versions.ALL))
    items = {key(item): item for item in items}
    assert len(items) == len(ROWS)
    for r in ROWS:
        item = items[r["obj"], r["ver"]]
        assert set(item) == set(FIELDS) | {"partition_key", "range_key", "_metadata"}
        assert {f: item[f] for f in FIELDS} == {f: r[f] for f in FIELDS}
        meta = dict(item["_metadata"])
        assert isinstance(meta.pop("created_at"), str) and isinstance(meta.pop("updated_at"), str)
        assert meta == r["_metadata"]


@pytest.mark.parametrize("order_by, sort_key", [
    ([OrderBy("size")], lambda r: r["size"]), ([OrderBy("size", "desc")], lambda r: -r["size"]),
    ([OrderBy("data__n")], lambda r: at(r, "data__n")), ([OrderBy("data__n", "desc")], lambda r: -at(r, "data__n")),
    ([OrderBy("flag"), OrderBy("size", "desc")], lambda r: (r["flag"], -r["size"])),
])
def test_ordering(reader, order_by, sort_key):
    rows = sorted((r for r in ROWS if at(r, "data__n") is not None and r["flag"] is not None), key=sort_key)
    items = reader.query(ALL_VERSIONS, None, Q(data__n__isnull=False) & Q(flag__isnull=False), None, order_by)
    assert [key(item) for item in items] == [(r["obj"], r["ver"]) for r in rows]


# The page, then what each statement appends for it with one class version, and with several, which each
# read their first offset + limit rows (all, without a limit) and cut the page from the merged list.
@pytest.mark.parametrize("class_version", [1, None])
@pytest.mark.parametrize("limit, offset, one, several", [
    (3, None, [3, 0], [3, 0]), (3, 2, [3, 2], [5, 0]), (4, 0, [4, 0], [4, 0]), (2, 9, [2, 9], [11, 0]),
    (0, 1, [0, 1], [1, 0]), (None, 2, [2], []), (None, 0, [], []), (None, None, [], []),
])
@pytest.mark.parametrize("order_by, conditions, predicate", [
    ([OrderBy("size")], None, lambda r: True),
    ([OrderBy("data__n", "desc")], Q(data__n__isnull=False), lambda r: at(r, "data__n") is not None),
    ([OrderBy("size", "desc")], LATEST, is_latest),
])
def test_pagination(reader, class_version, limit, offset, one, several, order_by, conditions, predicate):
    where = address(CLS, f"{CLS}-a", "1", class_version)
    before = where.model_copy()
    items = reader.query(where, None, conditions, NumberPaginator(limit, offset), order_by)
    assert where == before
    versions = (1,) if class_version else (1, 2)
    rows = sorted((r for r in ROWS if r["cv"] in versions and predicate(r)),
                  key=lambda r: at(r, order_by[0].field_name), reverse=order_by[0].direction == "desc")
    start = offset or 0
    stop = None if limit is None else start + limit
    assert [key(item) for item in items] == [(r["obj"], r["ver"]) for r in rows[start:stop]]
    page = one if class_version else several
    text = {2: " LIMIT %s OFFSET %s", 1: " OFFSET %s", 0: ""}[len(page)]
    selects = [(s, list(a)) for s, a in reader.sent if s.startswith("SELECT t1.*")]
    unpaged = [reader._build_select_statement(f"{CLS}_v{v}", None, conditions, None, order_by,
                                              use_internal_meta_tables=True) for v in versions]
    assert selects == [(s + text, list(p) + page) for s, p in unpaged]


@pytest.mark.parametrize("class_version", [1, None])
@pytest.mark.parametrize("limit, offset, bound", [(1, -1, "offset"), (-1, 1, "limit"), (-2, -1, "offset"),
                                                  (None, -1, "offset"), (-1, None, "limit")])
def test_a_negative_page_is_refused_before_anything_runs(reader, class_version, limit, offset, bound):
    reader.sent.clear()  # without a class version the host would list the tables first
    with pytest.raises(ValueError) as refused:
        reader.query(address(CLS, None, None, class_version), None, None, NumberPaginator(limit, offset))
    assert refused.value.args == (f"{bound} must not be negative",) and reader.sent == []


@pytest.mark.parametrize("specifier, order_by, columns", [
    (QuerySpecifier(only=["size", "name"]), None, {"name", "size"}),
    (QuerySpecifier(only=["name"]), [OrderBy("data__n", "desc"), OrderBy("size")], {"name"}),
    (QuerySpecifier(only=[]), [OrderBy("_metadata__object_version")], set(FIELDS) | {"partition_key", "range_key"}),
])
def test_only_columns(reader, specifier, order_by, columns):
    items = reader.query(ALL_VERSIONS, specifier, LATEST, None, order_by)
    rows = {(r["_metadata"]["object_id"], r["ver"]): r for r in ROWS if is_latest(r)}
    assert sorted((i["_metadata"]["object_id"], i["_metadata"]["object_version"]) for i in items) == sorted(rows)
    for item in items:
        row = rows[item["_metadata"]["object_id"], item["_metadata"]["object_version"]]
        assert set(item) == columns | {"_metadata"} and all(item[c] == row[c] for c in columns & set(FIELDS))


@pytest.mark.parametrize("specifier", [QuerySpecifier(only=["name"], distinct=["name"]),
                                       QuerySpecifier(only=["name", "size"], distinct=["size"])])
def test_distinct_on_joined_read_fails_cleanly(reader, specifier):
    statement, parameters = reader._build_select_statement(f"{CLS}_v1", specifier, Q(size__gt=3),
                                                           use_internal_meta_tables=True)
    with pytest.raises(VelmorConnectionError) as error:
        reader.query(address(CLS, None, None, 1), specifier, Q(size__gt=3))
    assert str(error.value) == "Error executing query: " + statement + " with args: (3,)" and parameters == [3]
    assert isinstance(error.value.__cause__, psycopg2.Error)


def test_internal_table_reads(reader):
    metadata, mine = address("metadata", None, None, None), Q(class_schema_type__startswith=CLS)
    distinct = reader.query(metadata, QuerySpecifier(only=["class_schema_type"], distinct=["class_schema_type"]), mine)
    assert sorted(item["class_schema_type"] for item in distinct) == [f"{CLS}-berry", f"{CLS}-fruit"]
    page = reader.query(metadata, QuerySpecifier(only=["object_version", "object_id"]),
                        mine & Q(address__object_version="1"), NumberPaginator(2, 1), [OrderBy("object_id", "desc")])
    assert page == [{"object_id": f"{CLS}-{obj}", "object_version": "1"} for obj in "dc"]
    assert reader.count(metadata, mine & Q(prior_version__isnull=False)) == len(NEXT)


@pytest.mark.parametrize("conditions, names", [
    (LATEST, ["bare", "new"]), (Q(_address__object_id=f"{CLS}-old"), ["old"]),
    (Q(_address__object_version="2"), ["bare", "new", "old"]),
])
def test_read_without_metadata_join(reader, conditions, names):
    statement, parameters = reader._build_select_statement(f"{CLS}x_v1", QuerySpecifier(only=["name"]), conditions)
    assert sorted(name for _, name in reader.execute(statement, *parameters).fetchall()) == names


def test_no_class_versions(reader, connection_factory, caplog):
    nothing = address(f"{CLS}none", None, None, None)
    assert reader.query(nothing, pagination=CursorPaginator()) == [] and reader.count(nothing, Q(size=1)) == 0
    assert caplog.records == []

    class NoPlan(RecordingConnection):
        def _build_queries_by_version(self, address, conditions):
            return {}

    empty = connection_factory(NoPlan)
    empty.sent.clear()
    assert empty.query(ALL_VERSIONS, None, Q(size=1), NumberPaginator(1, 1), [OrderBy("size")]) == []
    assert empty.count(ALL_VERSIONS, Q(size=1)) == 0 and empty.sent == []


def test_rejected_statement(reader):
    arguments = (None, Q(size__gt=3), NumberPaginator(2, 1), [OrderBy("nosuch")])
    statement, _ = reader._build_select_statement(f"{CLS}_v1", *arguments, use_internal_meta_tables=True)
    with pytest.raises(VelmorConnectionError) as error:
        reader.query(address(CLS, None, None, 1), *arguments)
    assert str(error.value) == "Error executing query: " + statement + " with args: (3, 2, 1)"
    assert isinstance(error.value.__cause__, psycopg2.errors.UndefinedColumn)
    with pytest.raises(VelmorConnectionError) as error:
        reader.query(ALL_VERSIONS, pagination=CursorPaginator())
    assert error.value.args == ("Cursor pagination is not supported",)
