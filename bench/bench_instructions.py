"""Instructions per operation, counted by callgrind: the module, the driver alone, the host's share.

Wall times on shared machines move by a fifth from run to run; instruction counts of the
client process do not. This script runs itself under valgrind's callgrind (the server runs
outside it, so only the Python process is counted) and reports, per put, per reverted entry
and per query of 50 rows (and per call of each statement builder of bench_builders.py, beside
its plain-Python rendering):

- the module;
- psycopg2 alone sending the statements the module sent (recorded from it), one cursor per
  statement as the module opens them, fetching the same rows into the same dictionaries;
- of the module's, the host's Python that the interface makes every such call run: the
  schema service and `resolve_table_name`, `Address.model_copy`, the revert entry,
  `_to_sql_value` per column, `_build_queries_by_version`, `_process_result` per row and
  `sort_items`, called alone from plain Python.

Only the measured loop is counted: `bench/callgrind/marker.cc` switches collection on and
off around it and dumps the count under the loop's label. Each loop runs twice, with N
iterations and with none, and the figure is (Ir(N) - Ir(0)) / N, so the loop's fixed cost
(the marker calls, setting up the loop) drops out. Before each loop the garbage collector
collects and freezes what exists, so every loop starts from the same collector state and
pays only for the collections its own allocations cause. The workload runs with hash
randomisation and address randomisation off, a fixed environment and the module copied to a
path of fixed length (see workload_environment), so that what the interpreter allocated
before a loop, which moves what the loop costs, is the same from run to run.

Run: PYTHONPATH=build/python:host:bench /usr/bin/python3 bench/bench_instructions.py \
         --marker build-bench/libcallgrind_marker.so          (POSTGRES_* name the server)
     --annotate adds where the module's instructions go in put and revert, per function
     (meaningful with a build that keeps its symbols, see bench/README.md).
"""

import argparse
import ctypes
import gc
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

PUTS = int(os.environ.get("VELMOR_CALLGRIND_PUTS", "1000"))
REVERTS = int(os.environ.get("VELMOR_CALLGRIND_REVERTS", "1000"))
QUERIES = int(os.environ.get("VELMOR_CALLGRIND_QUERIES", "100"))
QUERY_ROWS = 50
BUILDER_CALLS = int(os.environ.get("VELMOR_CALLGRIND_BUILDER_CALLS", "2000"))
# Fixed, so that every run hashes and sizes the same names (the server is the run's own).
CLASS_NAME = "callgrindbench"
SIDES = ("module", "raw", "host")
OPERATIONS = (("put", "put", PUTS), ("revert", "revert, per entry", REVERTS),
              ("query", f"query, {QUERY_ROWS} rows", QUERIES))


# --- Inside valgrind: the workload ----------------------------------------------------------

class Marker:
    """The measured region: collection on at start(), off and dumped as `label` at stop()."""

    def __init__(self, path):
        library = ctypes.PyDLL(path)  # PyDLL keeps the GIL: no release and re-take around the calls
        self._start = library.velmor_callgrind_start
        self._start.argtypes, self._start.restype = [], None
        self._stop = library.velmor_callgrind_stop
        self._stop.argtypes, self._stop.restype = [ctypes.c_char_p], None
        if not library.velmor_callgrind_active():
            raise SystemExit("bench_instructions.py --workload runs under valgrind --tool=callgrind only")

    def measure(self, operation, side, n, loop):
        label = f"{operation} {side} {n}".encode()
        gc.collect()
        gc.freeze()
        start, stop = self._start, self._stop
        start()
        loop()
        stop(label)


def unmeasured(operation, side, n, loop):
    loop()


class Workload:
    """The three operations, each measured for the module, the driver alone and the host's share."""

    def __init__(self, marker):
        # Imported here: the orchestrating side needs neither the module nor the driver.
        from bench_db import COLUMNS, Recorder, raw_connection, row
        from velmor_data.connections.implementations import postgresql_history
        from velmor_data.connections.implementations.postgresql_history import PostgresHistoricalConnection
        from velmor_utils.models.data_models.address import Address

        self.marker, self.row, self.Recorder, self.Address = marker, row, Recorder, Address
        self.sort_items = postgresql_history.sort_items  # the very function the module calls
        self.store = PostgresHistoricalConnection()
        self.store.connect()
        # A notice ("already exists, skipping") is kept by the driver, and what the process
        # allocated before the loops moves what they cost: a server that has seen an earlier
        # run must look like a fresh one.
        self.store.execute("SET client_min_messages TO warning")
        self.store.prepare_connection()
        self.raw = raw_connection()
        self.schema = self.store.table_schema_manager
        self.service_class = type(self.schema)
        self.cleanup()
        self.schema.create_object_table(CLASS_NAME, 1, COLUMNS)

    def cleanup(self):
        self.schema.drop_object_table(CLASS_NAME, 1)
        self.store.execute("DELETE FROM metadata WHERE class_schema_type = %s", CLASS_NAME)

    def close(self):
        self.cleanup()
        self.store.disconnect()
        self.raw.close()

    def address(self, object_id):
        return self.Address(class_name=CLASS_NAME, class_version=1, object_id=object_id, object_version="1")

    def recorder(self):
        """A connection that keeps what it sends, with its table already described."""
        recorder = self.Recorder()
        recorder.connect()
        recorder.begin()
        recorder.put(self.address("warm"), self.row(0))  # a new instance's first put describes the table
        recorder.rollback()
        recorder.sent.clear()
        return recorder

    def send(self, statements):
        """What the driver alone does with the module's writes: a cursor each."""
        raw = self.raw
        for statement, parameters in statements:
            raw.cursor().execute(statement, parameters)

    def fetch(self, statements):
        """What the driver alone does with the module's reads: a cursor each, rows as dicts."""
        raw = self.raw
        for statement, parameters in statements:
            cursor = raw.cursor()
            cursor.execute(statement, parameters)
            names = [column[0] for column in cursor.description]
            [dict(zip(names, values)) for values in cursor.fetchall()]

    def passes(self, n):
        """A warming pass of 3 iterations, unmeasured, then the measured passes of 0 and n."""
        return ((3, unmeasured), (0, self.marker.measure), (n, self.marker.measure))

    def recorded(self, prefix, count):
        """Addresses and rows of count puts, and a recorder that put them inside begin()."""
        addresses = [self.address(f"{prefix}{i}") for i in range(count)]
        rows = [self.row(i) for i in range(count)]
        recorder = self.recorder()
        recorder.begin()
        recorder.sent.clear()
        for address, data in zip(addresses, rows):
            recorder.put(address, data)
        return addresses, rows, recorder

    def put(self):
        store, raw, service_class = self.store, self.raw, self.service_class
        addresses, rows, recorder = self.recorded("p", PUTS)
        inserts = recorder.sent[:]
        recorder.rollback()
        recorder.disconnect()
        assert len(inserts) == PUTS, len(inserts)

        for n, measure in self.passes(PUTS):
            pairs = list(zip(addresses[:n], rows[:n]))

            def module_puts():
                for address, data in pairs:
                    store.put(address, data)

            store.begin()
            measure("put", "module", n, module_puts)
            store.rollback()

            statements = inserts[:n]
            cursor = raw.cursor()
            cursor.execute("BEGIN")
            measure("put", "raw", n, lambda: self.send(statements))
            cursor.execute("ROLLBACK")

            # The 8 values _to_sql_value sees: the fields and the two keys.
            items = [(address, data, [*data.values(), address.object_id, address.object_version])
                     for address, data in pairs]
            level = []

            def host_puts():
                for address, data, values in items:
                    service_class(store).resolve_table_name(address)
                    level.append((address.model_copy(), data))
                    for value in values:
                        store._to_sql_value(value)

            measure("put", "host", n, host_puts)

    def revert(self):
        store, raw, service_class = self.store, self.raw, self.service_class
        addresses, rows, recorder = self.recorded("r", REVERTS)
        inserts = recorder.sent[:]
        recorder.sent.clear()
        recorder.revert()
        deletes = recorder.sent[:]  # newest first
        recorder.execute("ROLLBACK")  # revert closed the level; the transaction is still open
        recorder.disconnect()
        assert len(inserts) == len(deletes) == REVERTS, (len(inserts), len(deletes))

        for n, measure in self.passes(REVERTS):
            store.begin()
            for address, data in zip(addresses[:n], rows[:n]):
                store.put(address, data)
            measure("revert", "module", n, store.revert)
            store.execute("ROLLBACK")

            cursor = raw.cursor()
            cursor.execute("BEGIN")
            self.send(inserts[:n])
            statements = deletes[REVERTS - n:]  # the deletes of these n entries, newest first
            measure("revert", "raw", n, lambda: self.send(statements))
            cursor.execute("ROLLBACK")

            # The 2 values _to_sql_value sees: the keys the delete matches.
            items = [(address, (address.object_id, address.object_version)) for address in addresses[:n]]

            def host_reverts():
                for address, values in items:
                    service_class(store).resolve_table_name(address)
                    for value in values:
                        store._to_sql_value(value)

            measure("revert", "host", n, host_reverts)

    def query(self):
        store, service_class, sort_items = self.store, self.service_class, self.sort_items
        store.begin()
        for i in range(QUERY_ROWS):
            store.put(self.address(f"q{i}"), self.row(i))
            store.put(self.Address(class_name="metadata", object_id=f"{CLASS_NAME}:q{i}@1", object_version="1"),
                      {"address": {"object_id": f"q{i}", "object_version": "1"}, "prior_version": None,
                       "class_schema_type": CLASS_NAME, "is_deleted": False})
        store.commit()
        store.on_transaction_complete()
        where = self.Address(class_name=CLASS_NAME, class_version=1)
        result = store.query(where)
        assert len(result) == QUERY_ROWS, len(result)
        recorder = self.recorder()
        recorder.query(where)
        selects = recorder.sent[:]
        recorder.disconnect()
        assert len(selects) == 1, selects
        description = store._describe_table(self.schema.resolve_table_name(where))

        for n, measure in self.passes(QUERIES):
            def module_queries():
                for _ in range(n):
                    store.query(where)

            def raw_queries():
                for _ in range(n):
                    self.fetch(selects)

            def host_queries():
                for _ in range(n):
                    for class_version in store._build_queries_by_version(where, None):
                        copy = where.model_copy()
                        copy.class_version = class_version
                        service_class(store).resolve_table_name(copy)
                        for item in result:
                            store._process_result(item, description)
                    sort_items(result, None)

            measure("query", "module", n, module_queries)
            measure("query", "raw", n, raw_queries)
            measure("query", "host", n, host_queries)


    def builders(self):
        """Each case of bench_builders.py, called alone: the member, and the plain-Python rendering."""
        from baseline import PlainPythonBuilders
        from bench_builders import cases

        sides = (("module", type(self.store)()), ("plain", PlainPythonBuilders()))
        for index, (_, name, args, kwargs) in enumerate(cases()):
            for side, owner in sides:
                member = getattr(owner, name)
                for n, measure in self.passes(BUILDER_CALLS):
                    def calls(member=member, n=n):
                        for _ in range(n):
                            member(*args, **kwargs)

                    measure(f"builder{index}", side, n, calls)


def run_workload(marker_path):
    workload = Workload(Marker(marker_path))
    try:
        workload.put()
        workload.revert()
        workload.query()
        workload.builders()
    finally:
        workload.close()


# --- Outside valgrind: run it, read the dumps, write the table --------------------------------

def read_dumps(directory):
    """Ir of each labelled dump: {(operation, side, n): Ir}."""
    counts = {}
    for path in glob.glob(os.path.join(directory, "callgrind.out*")):
        label = total = None
        with open(path, encoding="utf-8", errors="replace") as dump:
            for line in dump:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.split(": ", 3)[3].strip()
                elif line.startswith("summary: "):
                    total = int(line.split()[1])
        if label:
            operation, side, n = label.split()
            counts[(operation, side, int(n))] = (total or 0, path)
    return counts


def per_operation(counts, operation, side, n):
    return (counts[(operation, side, n)][0] - counts[(operation, side, 0)][0]) / n


class Profile:
    """One callgrind dump, by function: the pieces that inlining spreads over several files
    (which callgrind_annotate lists apart) added together. A function is (object, name); a
    recursion level callgrind separates ("name'2") stays a function of its own."""

    _KIND = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl", "cfl": "fl",
             "fn": "fn", "cfn": "fn"}

    def __init__(self, path):
        self.self_cost = {}
        self.edges = {}  # (caller, callee) -> inclusive Ir of the calls
        names = {"ob": {}, "fl": {}, "fn": {}}
        ob = function = callee_ob = callee = None
        in_call = False
        with open(path, encoding="utf-8", errors="replace") as dump:
            for line in dump:
                first = line[:1]
                if first.isdigit() or first in "+-*":
                    fields = line.split()
                    cost = int(fields[1]) if len(fields) > 1 else 0
                    if in_call:  # the line after calls= holds the calls' inclusive cost
                        self.edges[(function, callee)] = self.edges.get((function, callee), 0) + cost
                        in_call, callee_ob = False, None
                    else:
                        self.self_cost[function] = self.self_cost.get(function, 0) + cost
                    continue
                key, equals, value = line.rstrip("\n").partition("=")
                if not equals:
                    continue
                if key == "calls":
                    in_call = True
                    continue
                kind = self._KIND.get(key)
                if kind is None:
                    continue
                table = names[kind]
                if value.startswith("("):
                    number, _, name = value.partition(")")
                    name = name.strip()
                    if name:
                        table[number] = name
                    else:
                        name = table[number]
                else:
                    name = value
                if key == "ob":
                    ob = name
                elif key == "cob":
                    callee_ob = name
                elif key == "fn":
                    function = (ob, name)
                    self.self_cost.setdefault(function, 0)
                elif key == "cfn":
                    callee = (callee_ob or ob, name)

    def inclusive(self, function):
        return self.self_cost.get(function, 0) + sum(
            cost for (caller, _), cost in self.edges.items() if caller == function)


def readable(name):
    """A C++ function name without its parameters, return type, clone and ABI tags."""
    level = re.search(r"'\d+$", name)
    if level:
        name = name[:level.start()]
    name = name.replace("(anonymous namespace)::", "").replace("[abi:cxx11]", "")
    name = name.replace("std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                        "std::string")
    name = re.sub(r", std::allocator<[^<>]*> >", ">", name)
    depth = 0
    for index, char in enumerate(name):
        if char == "<":
            depth += 1
        elif char == ">":
            depth -= 1
        elif char == "(" and depth == 0 and not name[:index].endswith("operator"):
            name = name[:index]
            break
    if "operator" in name:
        name = name[name.index("operator"):]
    else:
        depth, start = 0, 0
        for index, char in enumerate(name):  # drop a return type: the last space outside <...>
            depth += (char == "<") - (char == ">")
            if char == " " and depth == 0:
                start = index + 1
        name = name[start:]
    return name + (level.group(0) if level else "")


def module_object(profile):
    """The loaded file of the module, as callgrind names it."""
    for function in profile.self_cost:
        if function[0] and os.path.basename(function[0]).startswith("postgresql_history."):
            return function[0]
    return None


def annotate(counts, operations=(("put", PUTS), ("revert", REVERTS)), top=30):
    """Where the module's instructions go in each operation: its functions, and its calls out.

    Costs only: callgrind also counts the calls made while collection is off, so its call
    counts cover more than the measured loop and are left out."""
    sections = []
    for operation, n in operations:
        profile = Profile(counts[(operation, "module", n)][1])
        module = module_object(profile)
        if module is None:
            sections.append(f"{operation}: the module's code is not in the profile")
            continue
        named = any(not name.startswith("0x") for ob, name in profile.self_cost if ob == module)
        lines = [f"### {operation}: the module's functions, Ir per {operation if operation == 'put' else 'entry'}"
                 + ("" if named else " (this build has no symbols: see bench/README.md)"),
                 "", "A name ending in '2 is the deeper levels of a function that Python calls back into: "
                 "its inclusive cost holds those levels' own nested calls.",
                 "", "| inclusive | self | function |", "|---:|---:|---|"]
        functions = [f for f in profile.self_cost if f[0] == module]
        ranked = sorted(((profile.inclusive(f), profile.self_cost[f], f[1]) for f in functions), reverse=True)
        for inclusive, own, name in ranked[:top]:
            if inclusive / n < 50:
                break
            lines.append(f"| {inclusive / n:,.0f} | {own / n:,.0f} | `{readable(name)}` |")
        lines += ["", f"### {operation}: the module's calls out of its own code, Ir per "
                  f"{operation if operation == 'put' else 'entry'}, inclusive", "",
                  "| inclusive | from | to |", "|---:|---|---|"]
        out = [(cost, caller[1], callee) for (caller, callee), cost in profile.edges.items()
               if caller[0] == module and callee[0] != module]
        for cost, caller, callee in sorted(out, reverse=True)[:top]:
            if cost / n < 50:
                break
            lines.append(f"| {cost / n:,.0f} | `{readable(caller)}` | `{readable(callee[1])}` "
                         f"({os.path.basename(callee[0] or '?')}) |")
        sections.append("\n".join(lines))
    return "\n\n".join(sections)


def short(value):
    if abs(value) >= 1e6:
        return f"{value / 1e6:.2f}M"
    return f"{value / 1e3:.1f}k"


def table(counts):
    lines = ["| per operation | module | psycopg2 alone, same statements | module - psycopg2 | module / psycopg2 "
             "| of the module's: required host callbacks |",
             "|---|---:|---:|---:|---:|---:|"]
    for operation, label, n in OPERATIONS:
        module, raw, host = (per_operation(counts, operation, side, n) for side in SIDES)
        lines.append(f"| {label} | {short(module)} | {short(raw)} | {short(module - raw)} | {module / raw:.2f}x "
                     f"| {short(host)} |")
    return "\n".join(lines)


def builder_table(counts):
    from bench_builders import cases

    lines = ["| builder | module, Ir per call | plain Python, Ir per call | plain / module |", "|---|---:|---:|---:|"]
    for index, (label, *_) in enumerate(cases()):
        module, plain = (per_operation(counts, f"builder{index}", side, BUILDER_CALLS) for side in ("module", "plain"))
        lines.append(f"| {label} | {module:,.0f} | {plain:,.0f} | {plain / module:.2f}x |")
    return "\n".join(lines)


MODULE_DIRECTORY = ("velmor_data", "connections", "implementations")


def workload_environment(staging):
    """The workload's environment: the same for every build measured, but for the module's code.

    Where the interpreter places its objects follows from everything it allocated before,
    the environment and the path strings included, and its method cache (indexed by the
    names' addresses) and dictionaries then probe differently: another environment or build
    path moved a put by up to half a percent. So the workload gets a fixed environment, and
    the module is loaded from a copy at a path of fixed length.
    """
    entries = [entry for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    for index, entry in enumerate(entries):
        found = sorted(glob.glob(os.path.join(entry, *MODULE_DIRECTORY, "postgresql_history.*.so")))
        if found:
            break
    else:
        raise SystemExit("no built module on PYTHONPATH (<build>/python/velmor_data/connections/"
                         "implementations/postgresql_history.*.so)")
    copy = os.path.join(staging, "module", *MODULE_DIRECTORY)
    os.makedirs(copy)
    shutil.copy(found[0], copy)
    entries[index] = os.path.join(staging, "module")
    environment = {name: value for name, value in os.environ.items() if name.startswith("POSTGRES_")}
    environment.update(PYTHONPATH=os.pathsep.join(os.path.abspath(entry) for entry in entries),
                       PYTHONHASHSEED="0", PATH="/usr/bin:/bin", LANG="C.UTF-8")
    return environment


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--marker", default=os.environ.get("VELMOR_CALLGRIND_MARKER"),
                        help="libcallgrind_marker.so (built with VELMOR_BUILD_BENCHMARKS)")
    parser.add_argument("--keep", help="keep the callgrind dumps in this directory")
    parser.add_argument("--annotate", action="store_true", help="also list the module's costs per function")
    parser.add_argument("--workload", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if not options.marker or not os.path.exists(options.marker):
        parser.error("--marker must name the built libcallgrind_marker.so")
    if options.workload:
        run_workload(options.marker)
        return 0

    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed (Debian package valgrind; scripts/bench.sh installs it)")
    staging = tempfile.mkdtemp(prefix="velmor-callgrind.")
    directory = options.keep or staging
    os.makedirs(directory, exist_ok=True)
    for stale in glob.glob(os.path.join(directory, "callgrind.out*")):
        os.remove(stale)
    # Without address randomisation the kernel's own mappings (the stack, the vDSO) land
    # where they landed last time, and so does what the interpreter places after them.
    fixed_layout = ["setarch", "-R"]
    if subprocess.run([*fixed_layout, "true"], capture_output=True).returncode != 0:
        fixed_layout = []  # a sandbox may forbid it; the counts then vary a little more
    command = [*fixed_layout, "valgrind", "--tool=callgrind", "--collect-atstart=no", "--instr-atstart=no",
               f"--callgrind-out-file={os.path.join(directory, 'callgrind.out')}",
               sys.executable, os.path.abspath(__file__), "--workload", "--marker", os.path.abspath(options.marker)]
    log_path = os.path.join(directory, "valgrind.log")
    try:
        with open(log_path, "w") as log:
            finished = subprocess.run(command, env=workload_environment(staging), cwd="/", stdout=log,
                                      stderr=subprocess.STDOUT)
        if finished.returncode != 0:
            with open(log_path) as log:
                sys.stderr.write(log.read()[-4000:])
            raise SystemExit(f"the workload failed under callgrind (exit {finished.returncode}); "
                             "the log's end is above")
        counts = read_dumps(directory)
        print(table(counts))
        print()
        print(builder_table(counts))
        if options.annotate:
            print()
            print(annotate(counts))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
