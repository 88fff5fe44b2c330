#!/usr/bin/python3
# Parses a scrape with the Prometheus client library's own text parser and prints one line per
# sample: "name{label=value,...} value". Exits 1 (with the parser's complaint) when the text is
# not valid exposition format, 2 when the library is missing.
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError as missing:
    print(f"parse_metrics: {missing} (scripts/bootstrap installs python3-prometheus-client)",
          file=sys.stderr)
    sys.exit(2)

with open(sys.argv[1], encoding="utf-8") as scrape:
    text = scrape.read()
try:
    for family in text_string_to_metric_families(text):
        print(f"# {family.name} {family.type}")
        for sample in family.samples:
            labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
            print(f"{sample.name}{{{labels}}} {sample.value}")
except Exception as fault:  # the parser raises ValueError and others for bad input
    print(f"parse_metrics: {fault}", file=sys.stderr)
    sys.exit(1)
