#!/usr/bin/env python3
"""The differential test's two halves (options_diff_test.sh runs them).

  options_diff.py config ROWS COMMAND
      prints redis-cli commands that configure, for each row of
      `quayd-options --rows` (and a base container without options), one
      container through the agent with the row's option: in its parameter
      field when the row has one, else in the free-form options.
  options_diff.py compare ROWS CLI.json API.json
      compares what each row's option changes in `docker inspect` Config
      and HostConfig against the base container, between the container run
      by the docker client (CLI.json) and the one run by the agent
      (API.json); prints one line per row and exits 1 when a row differs.
"""
import json
import sys

SECTIONS = ("Config", "HostConfig")


def rows(path):
    out = []
    for line in open(path):
        flag, takes, field, kind, value, needs = line.rstrip("\n").split("|")
        out.append(dict(flag=flag, takes=takes == "1", field=field, kind=kind,
                        value=value, needs=needs))
    return out


def name(flag):
    return "opt-" + flag if flag else "opt-base"


def redis_quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def config(rows_path, command, skipped):
    for row in [dict(flag="", field="")] + rows(rows_path):
        if row["flag"] in skipped:
            continue
        params = {"image": "bb:1", "command": command}
        if row["field"]:
            value = row["value"] if row["takes"] else 1
            params[row["field"]] = int(value) if row["kind"] == "integer" else value
        elif row["flag"]:
            params["options"] = "--" + row["flag"] + (
                " '" + row["value"] + "'" if row["takes"] else "")
        print("HSET " + redis_quote("quayd/container/config|" + name(row["flag"])) +
              " params " + redis_quote(json.dumps(params)) + " enabled true")


def flatten(value, prefix, out):
    if isinstance(value, dict) and value:
        for k, v in value.items():
            flatten(v, prefix + "." + k, out)
    else:
        out[prefix] = value


def fields(record):
    out = {}
    for section in SECTIONS:
        flatten(record.get(section) or {}, section, out)
    # The daemon names a container's host after its ID unless told otherwise.
    if out.get("Config.Hostname") == record["Id"][:12]:
        del out["Config.Hostname"]
    return out


def changes(record, base):
    a, b = fields(record), fields(base)
    return {k: a.get(k, "(unset)") for k in set(a) | set(b) if a.get(k, "(unset)") != b.get(k, "(unset)")}


def compare(rows_path, cli_path, api_path):
    cli = {r["Name"].lstrip("/"): r for r in json.load(open(cli_path))}
    api = {r["Name"].lstrip("/"): r for r in json.load(open(api_path))}
    failed = 0
    base = name("")
    # The bases themselves: both paths run a container without options alike.
    base_diff = {k: v for k, v in changes(api[base], cli[base]).items()}
    if base_diff:
        failed += 1
        print("FAIL (no option): the agent's base container differs: " + json.dumps(base_diff))
    for row in rows(rows_path):
        n = name(row["flag"])
        if n not in cli or n not in api:
            continue
        by_client = changes(cli[n], cli[base])
        by_agent = changes(api[n], api[base])
        if by_client != by_agent:
            failed += 1
            for k in sorted(set(by_client) | set(by_agent)):
                if by_client.get(k) != by_agent.get(k):
                    print("FAIL --%s: %s is %s through the client, %s through the agent" % (
                        row["flag"], k, json.dumps(by_client.get(k, "(no change)")),
                        json.dumps(by_agent.get(k, "(no change)"))))
        else:
            print("ok   --%s: %s" % (row["flag"], ", ".join(sorted(by_client)) or
                                     "no change either way (the daemon's default)"))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    if sys.argv[1] == "config":
        config(sys.argv[2], sys.argv[3], set(sys.argv[4:]))
    else:
        compare(sys.argv[2], sys.argv[3], sys.argv[4])
