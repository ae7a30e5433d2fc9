"""query and count end to end: objects of two class versions with their metadata rows,
read back through every kind of condition, ordering, paging and column choice."""

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
# (class version, object, version, prior, kind, name, size, weight, flag, data, extra)
ROWS = [
    (1, "a", "1", None, "fruit", "apple", 5, 1.5, True,
     {"title": "Red Box", "n": 3, "ratio": 0.5, "ok": True, "inner": {"k": "p", "deep": {"x": 7}}}, {"tag": "one"}),
    (1, "a", "2", "1", "fruit", "Avocado", 9, 2.25, False,
     {"title": "red lamp", "n": 4, "ratio": 1.5, "ok": False, "inner": {"k": "q", "deep": {"x": 8}}}, {"tag": "two"}),
    (1, "a", "3", "2", "fruit", "banana", 2, None, True, {"title": "latest", "n": 1, "ok": True, "inner": {"deep": {"x": 7}}}, None),
    (1, "b", "1", None, "fruit", None, 11, 0.25, None, {"n": 2, "ratio": 2.5}, {"tag": "one"}),
    (1, "b", "2", "1", "fruit", "cherry", 7, 3.5, False, {"title": "Blue Cup", "n": 6, "ok": False, "inner": {"k": "p"}}, {}),
    (1, "c", "1", None, "berry", "date", 12, 1.0, True, None, None),
    (1, "c", "2", "1", "berry", "Elder", 1, 4.75, True,
     {"title": "Green", "n": 5, "ratio": 0.75, "ok": True, "inner": {"k": "r", "deep": {"x": 9}}}, {"tag": "three"}),
    (2, "d", "1", None, "fruit", "fig", 8, 2.0, False, {"title": "RED", "ok": True}, {"tag": "two"}),
    (2, "d", "2", "1", "fruit", "grape", 3, 5.5, True, {"title": "boxed red", "n": 7, "ratio": 3.25, "inner": {"deep": {"x": 1}}}, None),
    (2, "e", "1", None, "berry", "Honeydew", 10, 0.5, None, {"title": "Tan", "n": 8, "ok": False}, {"tag": "one"}),
    (2, "e", "2", "1", "berry", "kiwi", 4, 6.0, False, {"title": "teal", "n": 9}, {}),
    (2, "e", "3", "2", "berry", "lime", 6, 1.25, True, {"title": "Red Top", "n": 0, "ok": True, "inner": {"k": "q", "deep": {"x": 3}}}, {"tag": "three"}),
]
ROWS = [dict(zip(("cv", "obj", "ver", "prior", "kind") + FIELDS, row)) for row in ROWS]
NEXT = {(r["obj"], r["prior"]): r["ver"] for r in ROWS if r["prior"]}
for r in ROWS:
    r["next"] = NEXT.get((r["obj"], r["ver"]))


def oid(obj):
    return f"{CLS}-{obj}"


def at(row, path):
    value = row
    for key in path.split("."):
        value = value.get(key) if isinstance(value, dict) else None
    return value


def where(path, test):
    return lambda row: (value := at(row, path)) is not None and test(value)


def key(item):
    return item["partition_key"].split("-", 1)[1], item["range_key"]


def keys(predicate, class_versions=(1, 2)):
    return {(r["obj"], r["ver"]) for r in ROWS if r["cv"] in class_versions and predicate(r)}


LATEST = Q(_address__object_version=Versions.LATEST)
is_latest = lambda row: row["next"] is None  # noqa: E731


@pytest.fixture(scope="module")
def store(database):
    connection = PostgresHistoricalConnection()
    connection.connect(**{k: v for k, v in database.items() if k != "dbname"}, database=database["dbname"])
    connection.prepare_connection()
    service = PostgresHistoricalTableSchemaService(connection)
    for class_version in (1, 2):
        service.create_object_table(CLS, class_version, OBJECT_COLUMNS)
    service.create_object_table(f"{CLS}x", 1, {"name": "text", "_metadata": "json"})
    connection.begin()
    for r in ROWS:
        connection.put(address(CLS, oid(r["obj"]), r["ver"], r["cv"]), {f: r[f] for f in FIELDS})
        connection.put(*metadata_record(oid(r["obj"]), r["ver"], r["prior"], class_name=f"{CLS}-{r['kind']}"))
    for name, meta in (("old", {"next_version": "2"}), ("new", {"next_version": ""}), ("bare", {})):
        connection.put(address(f"{CLS}x", oid(name), "1"), {"name": name, "_metadata": meta})
    connection.commit()
    connection.disconnect()
    return CLS


@pytest.fixture
def reader(store, connection_factory):
    return connection_factory(RecordingConnection)


ALL_VERSIONS = address(CLS, None, None, None)
CASES = [
    (Q(name="apple"), where("name", lambda v: v == "apple")),
    (Q(name__neq="apple"), where("name", lambda v: v != "apple")),
    (Q(size__gt=9), where("size", lambda v: v > 9)),
    (Q(size__gte=9), where("size", lambda v: v >= 9)),
    (Q(size__lt=3), where("size", lambda v: v < 3)),
    (Q(size__lte=3), where("size", lambda v: v <= 3)),
    (Q(weight=1.5), where("weight", lambda v: v == 1.5)),
    (Q(weight__lt=1.25), where("weight", lambda v: v < 1.25)),
    (Q(flag=True), where("flag", lambda v: v is True)),
    (Q(flag=False), where("flag", lambda v: v is False)),
    (Q(flag__neq=True), lambda r: r["flag"] is not True),
    (Q(size__in=(2, 5, 12)), where("size", lambda v: v in (2, 5, 12))),
    (Q(name__contains="an"), where("name", lambda v: "an" in v)),
    (Q(name__icontains="aN"), where("name", lambda v: "AN" in v.upper())),
    (Q(name__startswith="a"), where("name", lambda v: v.startswith("a"))),
    (Q(name__istartswith="a"), where("name", lambda v: v.upper().startswith("A"))),
    (Q(name__endswith="e"), where("name", lambda v: v.endswith("e"))),
    (Q(name__iendswith="E"), where("name", lambda v: v.upper().endswith("E"))),
    (Q(name__isnull=True), lambda r: r["name"] is None),
    (Q(name__isnull=False), lambda r: r["name"] is not None),
    (Q(data__n=3), where("data.n", lambda v: v == 3)),
    (Q(data__n__neq=3), where("data.n", lambda v: v != 3)),
    (Q(data__n__gt=5), where("data.n", lambda v: v > 5)),
    (Q(data__n__lte=2), where("data.n", lambda v: v <= 2)),
    (Q(data__ratio__gt=1.0), where("data.ratio", lambda v: v > 1.0)),
    (Q(data__ratio=0.5), where("data.ratio", lambda v: v == 0.5)),
    (Q(data__ok=True), where("data.ok", lambda v: v is True)),
    (Q(data__ok__neq=True), lambda r: at(r, "data.ok") is not True),
    (Q(data__title="Red Box"), where("data.title", lambda v: v == "Red Box")),
    (Q(data__title=Versions.LATEST), where("data.title", lambda v: v == "latest")),
    (Q(data__title__contains="Red"), where("data.title", lambda v: "Red" in v)),
    (Q(data__title__icontains="red"), where("data.title", lambda v: "RED" in v.upper())),
    (Q(data__title__istartswith="rED"), where("data.title", lambda v: v.upper().startswith("RED"))),
    (Q(data__title__iendswith="Red"), where("data.title", lambda v: v.upper().endswith("RED"))),
    (Q(data__title__endswith="ed"), where("data.title", lambda v: v.endswith("ed"))),
    (Q(data__n__in=(1, 3, 9)), where("data.n", lambda v: v in (1, 3, 9))),
    (Q(data__title__in=("Tan", "teal")), where("data.title", lambda v: v in ("Tan", "teal"))),
    (Q(data__title__isnull=True), lambda r: at(r, "data.title") is None),
    (Q(data__ratio__isnull=False), lambda r: at(r, "data.ratio") is not None),
    (Q(data__inner__k="p"), where("data.inner.k", lambda v: v == "p")),
    (Q(data__inner__deep__x=7), where("data.inner.deep.x", lambda v: v == 7)),
    (Q(data__inner__deep__x__gte=8), where("data.inner.deep.x", lambda v: v >= 8)),
    (Q(extra__tag="one"), where("extra.tag", lambda v: v == "one")),
    (Q(_address__object_id=oid("b")), lambda r: r["obj"] == "b"),
    (Q(_address__object_version="2"), lambda r: r["ver"] == "2"),
    (Q(_address__object_version__in=("1", "3")), lambda r: r["ver"] in ("1", "3")),
    (LATEST, is_latest),
    (Q(_address__object_version="latest"), is_latest),
    (Q(_address__object_version=Versions.ALL), lambda r: True),
    (Q(_address__object_version="all"), lambda r: True),
    (None, lambda r: True),
    (Q(_metadata__class_schema_type=f"{CLS}-berry"), lambda r: r["kind"] == "berry"),
    (Q(_metadata__prior_version__isnull=True), lambda r: r["prior"] is None),
    (Q(_metadata__address__object_version="3"), lambda r: r["ver"] == "3"),
    (Q(_metadata__next_version__isnull=False), lambda r: not is_latest(r)),
    (LATEST & Q(size__lt=5), lambda r: is_latest(r) and r["size"] < 5),
    (~Q(flag=True), lambda r: r["flag"] is not True),
    (Q(name__icontains="AN") | Q(data__n__gte=8), lambda r: "AN" in (r["name"] or "").upper() or (at(r, "data.n") or 0) >= 8),
]


@pytest.mark.parametrize("conditions, predicate", CASES)
def test_conditions(reader, conditions, predicate):
    expected = keys(predicate)
    assert expected and sorted(map(key, reader.query(ALL_VERSIONS, conditions=conditions))) == sorted(expected)
    assert reader.count(ALL_VERSIONS, conditions) == len(expected)
    assert reader.count(address(CLS, None, None, 1), conditions) == len(keys(predicate, (1,)))


def test_items_carry_fields_and_metadata(reader):
    items = reader.query(ALL_VERSIONS, conditions=Q(_address__object_version=Versions.ALL))
    by_key = {key(item): item for item in items}
    assert len(items) == len(by_key) == len(ROWS)
    for r in ROWS:
        item = by_key[r["obj"], r["ver"]]
        assert {f: item[f] for f in FIELDS} == {f: r[f] for f in FIELDS}
        assert set(item) == set(FIELDS) | {"partition_key", "range_key", "_metadata"}
        meta = dict(item["_metadata"])
        assert isinstance(meta.pop("created_at"), str) and isinstance(meta.pop("updated_at"), str)
        assert meta == {"next_version": r["next"], "address": {"object_id": oid(r["obj"]), "object_version": r["ver"]},
                        "object_id": oid(r["obj"]), "object_version": r["ver"], "prior_version": r["prior"],
                        "class_schema_reference": None, "class_schema_type": f"{CLS}-{r['kind']}",
                        "is_deleted": False, "transaction": None}


@pytest.mark.parametrize("order_by, sort_key", [
    ([OrderBy("size")], lambda r: r["size"]),
    ([OrderBy("size", "desc")], lambda r: -r["size"]),
    ([OrderBy("data__n")], lambda r: at(r, "data.n")),
    ([OrderBy("data__n", "desc")], lambda r: -at(r, "data.n")),
    ([OrderBy("flag"), OrderBy("size", "desc")], lambda r: (r["flag"], -r["size"])),
])
def test_ordering(reader, order_by, sort_key):
    rows = sorted((r for r in ROWS if at(r, "data.n") is not None and r["flag"] is not None), key=sort_key)
    conditions = Q(data__n__isnull=False) & Q(flag__isnull=False)
    assert [key(item) for item in reader.query(ALL_VERSIONS, None, conditions, None, order_by)] == [(r["obj"], r["ver"]) for r in rows]


@pytest.mark.parametrize("class_version", [1, None])
@pytest.mark.parametrize("limit, offset", [(3, None), (3, 2), (4, 0), (2, 9), (0, 1)])
@pytest.mark.parametrize("order_by, conditions, predicate", [
    ([OrderBy("size")], None, lambda r: True),
    ([OrderBy("data__n", "desc")], Q(data__n__isnull=False), lambda r: at(r, "data.n") is not None),
    ([OrderBy("size", "desc")], LATEST, is_latest),
])
def test_pagination(reader, class_version, limit, offset, order_by, conditions, predicate):
    where_ = address(CLS, oid("a"), "1", class_version)
    before = where_.model_copy()
    items = reader.query(where_, None, conditions, NumberPaginator(limit, offset), order_by)
    assert where_ == before
    versions = (1,) if class_version else (1, 2)
    field, reverse = order_by[0].field_name.replace("__", "."), order_by[0].direction == "desc"
    rows = sorted((r for r in ROWS if r["cv"] in versions and predicate(r)), key=lambda r: at(r, field), reverse=reverse)
    start = offset or 0
    assert [key(item) for item in items] == [(r["obj"], r["ver"]) for r in rows[start:start + limit]]
    # One class version is paged by its statement; several each read their first
    # offset + limit rows, and the page is cut from the merged list.
    page = [limit, start] if class_version else [start + limit, 0]
    selects = [(s, list(a)) for s, a in reader.sent if s.startswith("SELECT t1.*")]
    expected = [reader._build_select_statement(f"{CLS}_v{v}", None, conditions, NumberPaginator(*page), order_by,
                                                use_internal_meta_tables=True) for v in versions]
    assert selects == [(s, list(p)) for s, p in expected] and all(a[-2:] == page for _, a in selects)


@pytest.mark.parametrize("spec, order_by, columns", [
    (QuerySpecifier(only=["size", "name"]), None, {"name", "size"}),
    (QuerySpecifier(only=["name"]), [OrderBy("data__n", "desc"), OrderBy("size")], {"name"}),
    (QuerySpecifier(only=[]), [OrderBy("_metadata__object_version")], set(FIELDS) | {"partition_key", "range_key"}),
])
def test_only_columns(reader, spec, order_by, columns):
    items = reader.query(ALL_VERSIONS, spec, LATEST, None, order_by)
    latest = {(r["obj"], r["ver"]): r for r in ROWS if is_latest(r)}
    assert len(items) == len(latest)
    for item in items:
        assert item["_metadata"]["next_version"] is None and item["_metadata"]["object_version"] in ("2", "3")
        assert set(item) == columns | {"_metadata"}
        row = latest[item["_metadata"]["object_id"].split("-", 1)[1], item["_metadata"]["object_version"]]
        assert {c: item[c] for c in columns & set(FIELDS)} == {c: row[c] for c in columns & set(FIELDS)}


@pytest.mark.parametrize("spec", [QuerySpecifier(only=["name"], distinct=["name"]),
                                  QuerySpecifier(only=["name", "size"], distinct=["size"])])
def test_distinct_on_joined_read_fails_cleanly(reader, spec):
    statement, parameters = reader._build_select_statement(f"{CLS}_v1", spec, Q(size__gt=3), None, None,
                                                           use_internal_meta_tables=True)
    with pytest.raises(VelmorConnectionError) as error:
        reader.query(address(CLS, None, None, 1), spec, Q(size__gt=3))
    assert str(error.value) == "Error executing query: " + statement + " with args: (3,)"
    assert parameters == [3] and isinstance(error.value.__cause__, psycopg2.Error)


def test_internal_table_reads(reader):
    metadata = address("metadata", None, None, None)
    mine = Q(class_schema_type__startswith=CLS)
    distinct = reader.query(metadata, QuerySpecifier(only=["class_schema_type"], distinct=["class_schema_type"]), mine)
    assert sorted(item["class_schema_type"] for item in distinct) == [f"{CLS}-berry", f"{CLS}-fruit"]
    page = reader.query(metadata, QuerySpecifier(only=["object_version", "object_id"]), mine & Q(address__object_version="1"),
                        NumberPaginator(2, 1), [OrderBy("object_id", "desc")])
    objects = sorted({r["obj"] for r in ROWS}, reverse=True)[1:3]
    assert page == [{"object_id": oid(obj), "object_version": "1"} for obj in objects]
    assert reader.count(metadata, mine & Q(prior_version__isnull=False)) == len(NEXT)


@pytest.mark.parametrize("conditions, names", [
    (LATEST, ["bare", "new"]),
    (Q(_address__object_id=oid("old")), ["old"]),
    (Q(_address__object_version="2"), ["bare", "new", "old"]),
])
def test_read_without_metadata_join(reader, conditions, names):
    statement, parameters = reader._build_select_statement(f"{CLS}x_v1", QuerySpecifier(only=["name"]), conditions)
    rows = reader.execute(statement, *parameters).fetchall()
    assert sorted(name for _, name in rows) == names


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
