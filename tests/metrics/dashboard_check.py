#!/usr/bin/env python3
"""Checks the Grafana dashboard and the alerting rules against the metrics the
logger writes: the dashboard binds every query to the data source chosen at
import, has a panel of the failure counters by kind, and neither file uses a
temp_ series the logger does not write.

usage: dashboard_check.py DASHBOARD.json ALERTS.yml METRICS_SOURCE.cpp
"""
import json
import re
import sys

IMPORTED = {"type": "prometheus", "uid": "${DS_PROMETHEUS}"}


def datasource_refs(node, where, found):
    """Every "datasource" value below node, with where it is."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "datasource":
                found.append((where, value))
            else:
                datasource_refs(value, where + "/" + str(key), found)
    elif isinstance(node, list):
        for i, value in enumerate(node):
            datasource_refs(value, where + "/" + str(i), found)
    return found


def main(dashboard_path, rules_path, source_path):
    problems = []
    dashboard = json.load(open(dashboard_path, encoding="utf-8"))
    inputs = {i.get("name"): i for i in dashboard.get("__inputs", [])}
    if inputs.get("DS_PROMETHEUS", {}).get("pluginId") != "prometheus":
        problems.append("__inputs does not declare the Prometheus data source DS_PROMETHEUS")

    # Bound to the data source chosen at import: every reference, in panels,
    # targets and variables, is the import's input.
    refs = datasource_refs(dashboard.get("panels", []), "panels", [])
    refs = datasource_refs(dashboard.get("templating", {}), "templating", refs)
    for where, value in refs:
        if value != IMPORTED:
            problems.append("%s uses the data source %r, not %r" % (where, value, IMPORTED))
    for variable in dashboard.get("templating", {}).get("list", []):
        if variable.get("type") == "datasource":
            problems.append("variable %s of type datasource: the panels use ${DS_PROMETHEUS}" % variable.get("name"))

    exprs = []
    for panel in dashboard.get("panels", []):
        targets = panel.get("targets", [])
        if "datasource" not in panel:
            problems.append("panel %r has no data source" % panel.get("title"))
        if not targets:
            problems.append("panel %r has no query" % panel.get("title"))
        for target in targets:
            if "datasource" not in target:
                problems.append("a query of panel %r has no data source" % panel.get("title"))
            exprs.append((panel.get("title"), target.get("expr", "")))

    # The failure counters by kind: summed by kind, not turned into a rate.
    by_kind = [title for title, expr in exprs
               if "temp_sensor_failed_readings_total" in expr and re.search(r"by \([^)]*\bkind\b", expr)
               and "rate(" not in expr]
    if not by_kind:
        problems.append("no panel shows the failure counters by kind")

    # Every temp_ name in the dashboard and the rules is one the logger writes
    # (or a limit the rules record themselves).
    written = set(re.findall(r'"(temp_[a-z_]+)", "(?:gauge|counter)"', open(source_path, encoding="utf-8").read()))
    if len(written) < 10:
        problems.append("found only %d metric families in %s" % (len(written), source_path))
    rules = open(rules_path, encoding="utf-8").read()
    recorded = set(re.findall(r"record: (temp_[a-z_]+)", rules))
    rule_exprs = "\n".join(re.findall(r"expr: ((?:\|\n(?:\s+.*\n)+)|.*)", rules))
    for source, text in [("dashboard", "\n".join(e for _, e in exprs)), ("rules", rule_exprs)]:
        for name in sorted(set(re.findall(r"\btemp_[a-z_]+", text)) - written - recorded):
            problems.append("the %s uses %s, which the logger does not write" % (source, name))

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
