#!/usr/bin/env python3
"""Holds the agent to its JSON Schemas (schema/*.schema.json).

  check.py failures              src/host/failure.h against the response schema's closed list
  check.py examples AGENT CHECK  the schemas themselves, examples/states/*.json (schema and checker),
                                 and examples/*.jsonl run through the agent
  check.py transcripts DIR       the request, response and event-log lines the end-to-end tests
                                 recorded (BRINDLECAST_TRANSCRIPTS=DIR)

Which requests are held to the request schema: the tests and examples send
malformed requests on purpose, so only a request that the agent answered
with "ok": true must validate. Every response and every event-log line must.
A successful response must also have the result shape of its operation.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

from jsonschema import Draft202012Validator

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load(name):
    with open(os.path.join(ROOT, "schema", name), encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    return schema


class Schemas:
    def __init__(self):
        self.request_schema = load("request.schema.json")
        self.response_schema = load("response.schema.json")
        self.request = Draft202012Validator(self.request_schema)
        self.response = Draft202012Validator(self.response_schema)
        self.event = Draft202012Validator(load("event.schema.json"))
        self.state = Draft202012Validator(load("state.schema.json"))
        self.results = {}
        for name in self.response_schema["$defs"]["results"]:
            one = dict(self.response_schema)
            one["oneOf"] = [{"$ref": "#/$defs/results/" + name}]
            self.results[name] = Draft202012Validator(one)

    def result_shape(self, request):
        operation = request.get("operation")
        return {
            "permissions.status": "permissions", "permissions.request": "permissions",
            "desktop.monitors": "monitors", "desktop.frame": "frame", "apps.list": "apps",
            "apps.preview": "preview",
        }.get(operation, "icon" if operation == "apps.icon" else "none")


def problems_of(validator, instance):
    return ["%s: %s" % ("/".join(str(p) for p in e.absolute_path) or "(top)", e.message)
            for e in validator.iter_errors(instance)]


class Report:
    def __init__(self):
        self.failures = []
        self.counts = {}

    def count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def fail(self, where, text, problems):
        self.failures.append("%s: %s\n    %s" % (where, text[:300], "\n    ".join(p[:300] for p in problems[:3])))

    def finish(self, label):
        print("%s: %s" % (label, ", ".join("%d %s" % (n, k) for k, n in sorted(self.counts.items()))))
        for failure in self.failures[:50]:
            print("FAIL", failure)
        if self.failures:
            print("%d problems" % len(self.failures))
            return 1
        return 0


def as_sent_by_a_client(request):
    """The request as the schema describes it: the agent takes a "monitorId" or
    "button" that is not a text as absent, and the tests send such values on
    purpose; the schema holds clients to texts."""
    return {key: value for key, value in request.items()
            if key not in ("monitorId", "button") or isinstance(value, str)}


def check_exchange(schemas, report, where, request, response):
    report.count("responses")
    problems = problems_of(schemas.response, response)
    if problems:
        return report.fail(where, json.dumps(response), problems)
    if response.get("ok") is not True or request is None:
        return
    report.count("accepted requests")
    problems = problems_of(schemas.request, as_sent_by_a_client(request))
    if problems:
        return report.fail(where + " (accepted request)", json.dumps(request), problems)
    shape = schemas.result_shape(request)
    if shape == "icon" and "icon" not in response:
        shape = "none"  # no icon could be made
    problems = problems_of(schemas.results[shape], response)
    if problems:
        report.fail(where + " (result of %s)" % request.get("operation", "an action"), json.dumps(response), problems)


def check_event_line(schemas, report, where, line):
    report.count("event-log lines")
    try:
        event = json.loads(line)
    except ValueError as error:
        return report.fail(where, line, ["not JSON: %s" % error])
    problems = problems_of(schemas.event, event)
    if problems:
        report.fail(where, line, problems)


def listed_failures(schema, lists="failures"):
    """A closed list of the response schema ("failures": the Mac's, "linuxFailures": the Linux
    desktop's) as (code, message) pairs in list order."""
    pairs = []
    for code, item in schema["$defs"][lists].items():
        properties = item["properties"]
        if properties["code"]["const"] != code:
            raise ValueError("$defs/%s/%s holds the code %s" % (lists, code, properties["code"]["const"]))
        pairs += [(code, message) for message in properties["error"]["enum"]]
    return pairs


def documented_failures():
    """docs/failures.md: the (code, message) pairs of its tables, whose rows end in a quoted code
    and a quoted message, and from its Linux section the (code, Mac message, Linux message)
    rows of the messages that differ there."""
    pairs, reworded = [], []
    linux = False
    quoted = re.compile(r'"(.*)"')
    with open(os.path.join(ROOT, "docs", "failures.md"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                linux = "Linux" in line
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
            if len(cells) < 3 or not re.fullmatch(r'"[A-Z_]+"', cells[-3 if linux else -2]):
                continue
            texts = [quoted.fullmatch(cell) for cell in cells[-3 if linux else -2:]]
            if all(texts):
                (reworded if linux else pairs).append(tuple(t.group(1) for t in texts))
    return pairs, reworded


def both_ways(errors, ours, theirs, here, there):
    for item in sorted(set(ours) - set(theirs)):
        errors.append("in %s, not in %s: %s" % (here, there, " / ".join(item)))
    for item in sorted(set(theirs) - set(ours)):
        errors.append("in %s, not in %s: %s" % (there, here, " / ".join(item)))
    if len(theirs) != len(set(theirs)) and "schema" in there:
        errors.append("%s lists a pair twice" % there)


def failures_command():
    header = open(os.path.join(ROOT, "src", "host", "failure.h"), encoding="utf-8").read()
    codes = dict(re.findall(r'inline constexpr std::string_view (\w+) = "([^"]*)";', header))
    read = [(codes.get(code, "?" + code), mac, linux) for code, mac, linux in re.findall(
        r'Failure \w+\s*\{\s*codes::(\w+),\s*"([^"]*)"\s*(?:,\s*"([^"]*)"\s*)?\}', header)]
    mac_pairs = [(code, mac) for code, mac, _ in read]
    linux_pairs = [(code, linux or mac) for code, mac, linux in read]
    reworded_in_header = [entry for entry in read if entry[2]]
    # Every Failure constant must have been read, or the comparison means nothing.
    declared = len(re.findall(r'inline constexpr Failure \w+', header))
    schema = load("response.schema.json")
    documented, reworded = documented_failures()
    errors = []
    if declared != len(read):
        errors.append("read %d of the %d failures in failure.h" % (len(read), declared))
    both_ways(errors, mac_pairs, listed_failures(schema), "failure.h", "the schema's failures")
    both_ways(errors, set(linux_pairs), listed_failures(schema, "linuxFailures"), "failure.h (Linux)",
              "the schema's linuxFailures")
    both_ways(errors, listed_failures(schema), documented, "the schema's failures", "docs/failures.md")
    both_ways(errors, reworded_in_header, reworded, "failure.h (Linux)", "docs/failures.md's Linux table")
    for lists in ("failures", "linuxFailures"):
        if sorted(schema["$defs"][lists]) != sorted(set(codes.values())):
            errors.append("the schema's %s codes differ from failure.h's %s" % (lists, sorted(set(codes.values()))))
    print("failures: %d failures of %d codes in failure.h, %d reworded for Linux; schema, docs/failures.md agree: %s"
          % (len(read), len(set(codes.values())), len(reworded_in_header), "no" if errors else "yes"))
    for error in errors:
        print("FAIL", error)
    return 1 if errors else 0


def examples_command(agent, checker):
    schemas = Schemas()
    report = Report()
    subprocess.run([os.path.join(ROOT, "examples", "sample-bundles.sh")], check=True, stdout=subprocess.DEVNULL)
    # Relative picture paths in the states are read from the repository root.
    os.chdir(ROOT)
    for path in sorted(glob.glob("examples/states/*.json")):
        report.count("states")
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
        problems = problems_of(schemas.state, state)
        if problems:
            report.fail(path, "state", problems)
        run = subprocess.run([checker, path], capture_output=True, text=True)
        if run.returncode != 0:
            report.fail(path, "brindlecast-state-check", run.stdout.splitlines() or ["exit %d" % run.returncode])
    with tempfile.TemporaryDirectory() as folder:
        with open("examples/states/apps-running.json", encoding="utf-8") as f:
            state = json.load(f)
        log = os.path.join(folder, "events.log")
        state["eventLog"] = log
        state_path = os.path.join(folder, "state.json")
        with open(state_path, "w", encoding="utf-8") as f:
            json.dump(state, f)
        env = dict(os.environ, BRINDLECAST_VIRTUAL_MAC=state_path)
        for path in sorted(glob.glob("examples/*.jsonl")):
            with open(path, "rb") as f:
                data = f.read()
            run = subprocess.run([agent], input=data, capture_output=True, env=env)
            lines = data.decode("utf-8", "replace").splitlines()
            responses = run.stdout.decode("utf-8").splitlines()
            if run.returncode != 0 or run.stderr or len(responses) != len(lines):
                report.fail(path, "agent run", ["exit %d, %d responses to %d lines, stderr %r"
                                                % (run.returncode, len(responses), len(lines), run.stderr[:200])])
                continue
            for number, (line, response) in enumerate(zip(lines, responses), 1):
                try:
                    request = json.loads(line)
                except ValueError:
                    request = None
                check_exchange(schemas, report, "%s:%d" % (path, number),
                               request if isinstance(request, dict) else None, json.loads(response))
        if os.path.exists(log):
            with open(log, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    check_event_line(schemas, report, "examples event log:%d" % number, line.rstrip("\n"))
    return report.finish("examples")


def transcripts_command(folder):
    schemas = Schemas()
    report = Report()
    for path in sorted(glob.glob(os.path.join(folder, "exchanges-*.jsonl"))):
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                record = json.loads(line)
                where = "%s:%d" % (os.path.basename(path), number)
                if "response" not in record:
                    report.fail(where, line, ["the response line is not JSON"])
                    continue
                check_exchange(schemas, report, where, record["request"], record["response"])
    for path in sorted(glob.glob(os.path.join(folder, "events-*.jsonl"))):
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                check_event_line(schemas, report, "%s:%d" % (os.path.basename(path), number), line.rstrip("\n"))
    # A wiring fault must not pass as a clean run.
    if report.counts.get("accepted requests", 0) == 0 or report.counts.get("event-log lines", 0) == 0:
        report.failures.append("no transcripts in %s: were the tests run with BRINDLECAST_TRANSCRIPTS?" % folder)
    return report.finish("transcripts")


def main(argv):
    if len(argv) == 2 and argv[1] == "failures":
        return failures_command()
    if len(argv) == 4 and argv[1] == "examples":
        return examples_command(argv[2], argv[3])
    if len(argv) == 3 and argv[1] == "transcripts":
        return transcripts_command(argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
