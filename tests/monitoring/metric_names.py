#!/usr/bin/env python3
"""Fails when a PromQL expression of the Grafana dashboard or the alert rules names a metric that
vesperod's /metrics (a file of its real output) does not serve. `up` is Prometheus's own.

Usage: metric_names.py METRICS-TEXT DASHBOARD.json RULES.yml
"""
import json
import re
import sys

import yaml

KEYWORDS = {"by", "without", "on", "ignoring", "group_left", "group_right", "and", "or", "unless",
            "bool", "offset", "inf", "nan"}
PROMETHEUS_OWN = {"up"}


def served(path):
    names = set()
    for line in open(path, encoding="utf-8"):
        if line.strip() and not line.startswith("#"):
            names.add(re.split(r"[{\s]", line, maxsplit=1)[0])
    return names


def metric_names(expr):
    # label_values(METRIC, label): the second argument is a label, not a metric
    expr = re.sub(r"label_values\(([^,()]*),[^()]*\)", r"(\1)", expr)
    expr = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)                    # strings
    expr = re.sub(r"\{[^}]*\}", "", expr)                               # label matchers
    expr = re.sub(r"\[[^\]]*\]", "", expr)                              # ranges
    expr = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", "", expr)
    names = set()
    for m in re.finditer(r"(?<![\w$.:])([a-zA-Z_:][a-zA-Z0-9_:]*)(\s*\()?", expr):
        if m.group(2) or m.group(1).lower() in KEYWORDS:
            continue  # a function, or an operator word
        names.add(m.group(1))
    return names


def dashboard_exprs(node):
    if isinstance(node, dict):
        for key, value in node.items():
            if key in ("expr", "definition") and isinstance(value, str):
                yield value
            else:
                yield from dashboard_exprs(value)
    elif isinstance(node, list):
        for item in node:
            yield from dashboard_exprs(item)


def main():
    metrics, dashboard_path, rules_path = sys.argv[1:4]
    have = served(metrics) | PROMETHEUS_OWN
    dashboard = json.load(open(dashboard_path, encoding="utf-8"))  # raises on invalid JSON
    rules = yaml.safe_load(open(rules_path, encoding="utf-8"))
    sources = [("dashboard", e) for e in dashboard_exprs(dashboard)]
    sources += [("rule " + r["alert"], r["expr"]) for g in rules["groups"] for r in g["rules"]]
    faults, named = [], set()
    for where, expr in sources:
        for name in sorted(metric_names(expr)):
            named.add(name)
            if name not in have:
                faults.append(f"{where}: {name} is not served (in: {expr})")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"metric_names: {len(sources)} expressions name {len(named)} metrics: {' '.join(sorted(named))}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
