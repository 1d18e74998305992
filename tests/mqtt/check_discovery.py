#!/usr/bin/env python3
"""Checks the logger's Home Assistant discovery messages.

Usage: check_discovery.py SCHEMA MESSAGES PREFIX STATES
MESSAGES holds one "topic<TAB>payload" line per retained config message,
STATES one "topic<TAB>payload" line per state message. Each payload is checked
key by key against the schema of the documented MQTT sensor options, then
against what the logger promises (temperature entities, diagnostic failure
counters, the logger's diagnostics, a device per sensor via the logger's
device, the origin); binary sensors against their own schema beside it; the
templates are rendered as Home Assistant does,
with Jinja2, on the states. Exit 0 when all is well, 1 with the faults, 77
when jsonschema or jinja2 is missing.
"""
import datetime
import json
import re
import sys

try:
    import jinja2
    import jsonschema
except ImportError as missing:
    print(f"SKIP: {missing} (Debian packages python3-jsonschema and python3-jinja2)")
    sys.exit(77)


def lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line:
                topic, payload = line.split("\t", 1)
                yield topic, payload


def render(template, payload):
    # Home Assistant's value_json, and None as Python's None.
    env = jinja2.Environment()
    return env.from_string(template).render(value_json=json.loads(payload), value=payload)


def check_devices(configs, faults):
    """One device per sensor, each reached through the one logger device;
    a device is described alike in every config that names it."""
    devices = {}
    for topic, config in configs:
        device = config.get("device") or {}
        ids = device.get("identifiers") or [None]
        key = ids[0]
        text = json.dumps(device, sort_keys=True)
        if devices.setdefault(key, text) != text:
            faults.append(f"{topic}: device {key} differs from another config's")
    loggers = {k for k, d in devices.items() if "via_device" not in json.loads(d)}
    if len(loggers) != 1:
        faults.append(f"{len(loggers)} logger devices, not one: {sorted(map(str, loggers))}")
    for key, text in devices.items():
        device = json.loads(text)
        if key in loggers:
            continue
        for member in ("name", "serial_number", "model"):
            if not device.get(member):
                faults.append(f"sensor device {key}: no {member}")
        if device.get("via_device") not in loggers:
            faults.append(f"sensor device {key}: via_device {device.get('via_device')} is not the logger's")
    return len(devices) - len(loggers)


def main():
    schema_path, messages_path, prefix, states_path = sys.argv[1:5]
    validators = {}
    for component, path in (("sensor", schema_path),
                            ("binary_sensor", schema_path.replace("ha_mqtt_sensor", "ha_mqtt_binary_sensor"))):
        with open(path, encoding="utf-8") as f:
            validators[component] = jsonschema.Draft202012Validator(json.load(f))
    faults = []
    unique_ids = set()
    states = {}
    for topic, payload in lines(states_path):
        states.setdefault(topic, []).append(payload)
    configs = list(lines(messages_path))
    if not configs:
        faults.append("no discovery messages")
    topic_pattern = re.compile("^" + re.escape(prefix) + r"/(sensor|binary_sensor)/([A-Za-z0-9_-]+)/config$")
    parsed = []
    for topic, payload in configs:
        where = topic
        match = topic_pattern.match(topic)
        if not match:
            faults.append(f"{where}: topic is not {prefix}/<sensor|binary_sensor>/<object_id>/config")
            continue
        component = match.group(1)
        try:
            config = json.loads(payload)
        except ValueError as e:
            faults.append(f"{where}: not JSON: {e}")
            continue
        parsed.append((topic, config))
        if match.group(2) != config.get("unique_id"):
            faults.append(f"{where}: the object id is not the unique_id {config.get('unique_id')}")
        for error in validators[component].iter_errors(config):
            path = "/".join(str(p) for p in error.absolute_path) or "(top)"
            faults.append(f"{where}: {path}: {error.message}")
        if "origin" not in config:
            faults.append(f"{where}: no origin")
        uid = config.get("unique_id")
        if uid in unique_ids:
            faults.append(f"{where}: unique_id {uid} repeated")
        unique_ids.add(uid)
        # A null name takes the device's: only the sensor's main entity does that.
        if not config.get("name") and not (config.get("device_class") == "temperature"
                                           and (config.get("device") or {}).get("name")):
            faults.append(f"{where}: no name")
        state_topic = config.get("state_topic", "")
        seen = states.get(state_topic, [])
        if not seen:
            faults.append(f"{where}: no state was published on {state_topic}")
        if component == "binary_sensor":
            for payload_text in seen:
                if payload_text not in (config.get("payload_on"), config.get("payload_off")):
                    faults.append(f"{where}: {payload_text!r} is neither payload_on nor payload_off")
            continue
        if config.get("device_class") == "timestamp":
            for payload_text in seen:
                value = render(config["value_template"], payload_text)
                try:
                    if datetime.datetime.fromisoformat(value.replace("Z", "+00:00")).tzinfo is None:
                        faults.append(f"{where}: timestamp {value!r} has no time zone")
                except ValueError:
                    faults.append(f"{where}: renders {value!r}, not a timestamp, for {payload_text}")
            continue
        if config.get("entity_category") == "diagnostic":
            if config.get("state_class") != "total_increasing":
                faults.append(f"{where}: a failure counter is total_increasing")
            for payload_text in seen:
                value = render(config["value_template"], payload_text)
                if not value.isdigit():
                    faults.append(f"{where}: counter renders {value!r} for {payload_text}")
            continue
        expected = {"device_class": "temperature", "state_class": "measurement", "unit_of_measurement": "\u00b0C"}
        for key, value in expected.items():
            if config.get(key) != value:
                faults.append(f"{where}: {key} is {config.get(key)!r}, not {value!r}")
        for key in ("suggested_display_precision", "expire_after", "value_template", "availability"):
            if key not in config:
                faults.append(f"{where}: no {key}")
        status_topics = [a["topic"] for a in config.get("availability", []) if a["topic"].endswith("/status")]
        if len(status_topics) != 1:
            faults.append(f"{where}: availability lacks the logger's status topic")
        # A good reading renders its temperature and is available; a failed one
        # renders None and is unavailable.
        for payload_text in seen:
            state = json.loads(payload_text)
            value = render(config["value_template"], payload_text)
            available = all(
                render(a["value_template"], payload_text) == a.get("payload_available", "online")
                for a in config["availability"] if "value_template" in a)
            if state["outcome"] == "good":
                if value != repr(state["temperature"]) and float(value) != state["temperature"]:
                    faults.append(f"{where}: renders {value!r} for {payload_text}")
                if not available:
                    faults.append(f"{where}: unavailable for a good reading {payload_text}")
            else:
                if value != "None" or available:
                    faults.append(f"{where}: renders {value!r} (available {available}) for {payload_text}")
    sensors = check_devices(parsed, faults)
    print(f"{len(parsed)} configs, {sensors} sensor devices")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
