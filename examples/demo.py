"""A tour of the versioned object store on PostgreSQL.

Stores versions of a few objects inside nested transactions, undoes some of them,
and reads the store back. Connection settings come from POSTGRES_HOST, POSTGRES_PORT,
POSTGRES_USER, POSTGRES_PASSWORD and POSTGRES_DATABASE.
"""

from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
from velmor_utils.models.data_models.address import Address
from velmor_utils.models.enums import Versions
from velmor_utils.query.data_models.order_by import OrderBy
from velmor_utils.query.data_models.paginator import NumberPaginator
from velmor_utils.query.data_models.query_specifier import QuerySpecifier
from velmor_utils.query.utils import Q

CLASS = "DemoPlanet"


def store(store, object_id, version, prior, fields):
    """Writes one version of an object and the metadata row that links it to its prior."""
    store.put(Address(class_name=CLASS, class_version=1, object_id=object_id, object_version=version), fields)
    store.put(
        Address(class_name="metadata", object_id=f"{CLASS}:{object_id}@{version}", object_version=version),
        {
            "address": {"object_id": object_id, "object_version": version},
            "prior_version": prior,
            "class_schema_type": CLASS,
            "is_deleted": False,
        },
    )


def forget_demo(db):
    """Removes what an earlier run left: the object table and its metadata rows."""
    db.table_schema_manager.drop_object_table(CLASS, 1)
    db.execute("DELETE FROM metadata WHERE class_schema_type = %s", CLASS)


def show(title, items):
    print(f"\n{title}")
    for item in items:
        meta = item["_metadata"]
        latest = "latest" if meta["next_version"] is None else f"superseded by v{meta['next_version']}"
        print(f"  {item['partition_key']:<8} v{item['range_key']}  {item['name']:<10} "
              f"moons={item['moons']:<3} facts={item['facts']}  ({latest})")


def main():
    db = PostgresHistoricalConnection()
    db.connect()
    db.prepare_connection()  # registers the internal metadata table
    schema = db.table_schema_manager
    forget_demo(db)
    schema.create_object_table(CLASS, 1, {"name": "text", "moons": "integer", "facts": "json"})
    print(f"Object table of {CLASS} version 1 created.")

    db.begin()  # the outer transaction
    store(db, "mars", "1", None, {"name": "Mars", "moons": 2, "facts": {"rings": False, "day_h": 24.6}})
    store(db, "jupiter", "1", None, {"name": "Jupiter", "moons": 79, "facts": {"rings": True, "day_h": 9.9}})

    db.begin()  # a savepoint: a correction we then think better of
    store(db, "mars", "2", "1", {"name": "Mars?", "moons": 0, "facts": {"rings": True}})
    db.rollback()  # back to the savepoint: Mars keeps version 1 only
    print("Inner transaction rolled back: the bad Mars version is gone.")

    db.begin()  # a savepoint whose writes we undo one by one with revert
    store(db, "pluto", "1", None, {"name": "Pluto", "moons": 5, "facts": {"rings": False, "day_h": 153.3}})
    db.revert()  # deletes Pluto's rows, newest first, and closes this level
    print("Pluto written, then reverted.")

    db.begin()
    store(db, "jupiter", "2", "1", {"name": "Jupiter", "moons": 95, "facts": {"rings": True, "day_h": 9.93}})
    store(db, "saturn", "1", None, {"name": "Saturn", "moons": 146, "facts": {"rings": True, "day_h": 10.7}})
    db.commit()  # merged into the outer level
    db.commit()  # COMMIT: everything above is now durable
    db.on_transaction_complete()

    planets = Address(class_name=CLASS, class_version=1)
    latest = Q(_address__object_version=Versions.LATEST)
    show("Latest version of every object:", db.query(planets, conditions=latest, order_by=[OrderBy("name")]))
    show("All versions of jupiter:",
         db.query(planets, conditions=Q(_address__object_id="jupiter") & Q(_address__object_version=Versions.ALL),
                  order_by=[OrderBy("range_key")]))
    show("Ringed planets, most moons first, first page of 2:",
         db.query(planets, conditions=latest & Q(facts__rings=True),
                  order_by=[OrderBy("moons", "desc")], pagination=NumberPaginator(limit=2, offset=0)))
    names = db.query(planets, QuerySpecifier(only=["name"]), conditions=latest & Q(moons__gte=10))
    print("\nNames of planets with at least 10 moons:", sorted(item["name"] for item in names))
    print("Objects stored (all versions):", db.count(planets))
    print("Latest versions with a day shorter than 12 h:", db.count(planets, latest & Q(facts__day_h__lt=12.0)))

    forget_demo(db)
    db.disconnect()


if __name__ == "__main__":
    main()
