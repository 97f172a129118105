"""Checks that the shipped dashboard and alert rules refer only to metric
names that the service's metrics file holds.

    metric_names.py FILE.prom DASHBOARD.json RULES.yml [TEMP-FOLDER]

FILE.prom is a file the service wrote (its families are the names it
writes). The dashboard must parse as JSON; every PromQL expression in it
(panel targets, template queries) and in the rules is read for metric names:
identifiers that are not functions, keywords, label names or template
variables. With TEMP-FOLDER, the dashboard's expressions are also handed to
`promtool check rules` as recording rules, which parses them as PromQL.
Exits 1 naming each unknown metric or bad expression."""

import json
import os
import re
import subprocess
import sys

KEYWORDS = {"by", "without", "on", "ignoring", "group_left", "group_right", "bool", "and", "or", "unless",
            "offset", "inf", "nan"}


def families(prom_text):
    names = set()
    for line in prom_text.splitlines():
        m = re.match(r"# TYPE (\S+) \S+$", line)
        if m:
            names.add(m.group(1))
    return names


def metric_names(expr):
    """The metric names an expression refers to."""
    text = re.sub(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'', '""', expr)  # string literals
    text = re.sub(r"\{[^}]*\}", " ", text)                                 # label matchers
    text = re.sub(r"\[[^\]]*\]", " ", text)                                # ranges
    text = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", " ", text)  # label lists
    text = re.sub(r"\$\{?\w+\}?", " ", text)                               # template variables
    # label_values(metric, label): the label is no metric.
    text = re.sub(r"\blabel_values\s*\(([^,()]*),\s*\w+\s*\)", r"(\1)", text)
    names = set()
    for m in re.finditer(r"[A-Za-z_:][A-Za-z0-9_:]*", text):
        word = m.group(0)
        if word.lower() in KEYWORDS:
            continue
        if text[m.end():].lstrip().startswith("("):
            continue  # a function
        if re.match(r"\d", text[max(0, m.start() - 1):m.start()] or " "):
            continue  # a unit of a number such as 1e3
        names.add(word)
    return names


def dashboard_exprs(node, out):
    if isinstance(node, dict):
        for key, value in node.items():
            if key in ("expr", "definition") and isinstance(value, str):
                out.append(value)
            elif key == "query" and isinstance(value, str) and "(" in value:
                out.append(value)
            else:
                dashboard_exprs(value, out)
    elif isinstance(node, list):
        for item in node:
            dashboard_exprs(item, out)
    return out


def rule_exprs(path):
    # The rules file is plain YAML; its expressions are one-line "expr:" values.
    out = []
    for line in open(path, encoding="utf-8"):
        m = re.match(r"\s*expr:\s*(.+?)\s*$", line)
        if m:
            out.append(m.group(1))
    return out


def main():
    prom, dashboard, rules = sys.argv[1:4]
    temp = sys.argv[4] if len(sys.argv) > 4 else None
    known = families(open(prom, encoding="utf-8").read())
    problems = []
    if not known:
        problems.append("%s holds no metric family" % prom)
    try:
        dash = json.load(open(dashboard, encoding="utf-8"))
    except ValueError as e:
        print("metric_names: %s does not parse: %s" % (dashboard, e))
        return 1
    exprs = {"dashboard": dashboard_exprs(dash, []), "rules": rule_exprs(rules)}
    if not exprs["dashboard"] or not exprs["rules"]:
        problems.append("no expressions found: %s" % {k: len(v) for k, v in exprs.items()})
    used = set()
    for where, items in exprs.items():
        for expr in items:
            names = metric_names(expr)
            used |= names
            for name in sorted(names - known):
                problems.append("%s: %s refers to %s, which the file does not write" % (where, expr, name))
    if temp:
        # The dashboard's queries as recording rules: promtool parses them.
        lines = ["groups:", "  - name: dashboard", "    rules:"]
        for n, expr in enumerate(e for e in exprs["dashboard"] if not e.startswith("label_values")):
            lines += ["      - record: dashboard_query_%d" % n, "        expr: %s" % json.dumps(expr.replace("$host", ".*"))]
        path = os.path.join(temp, "dashboard_queries.rules.yml")
        open(path, "w", encoding="utf-8").write("\n".join(lines) + "\n")
        p = subprocess.run(["promtool", "check", "rules", path], capture_output=True, text=True, timeout=30)
        if p.returncode != 0:
            problems.append("promtool check rules on the dashboard's queries: " + (p.stdout + p.stderr)[-600:])
    for p in problems:
        print("metric_names: " + p)
    if not problems:
        print("metric_names: ok, %d dashboard and %d rule expressions use %s" %
              (len(exprs["dashboard"]), len(exprs["rules"]), ", ".join(sorted(used))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
