"""The deployment files in deploy/, checked as far as this machine can:
the YAML parses into the expected objects, the probe paths they name are
answered 200 by a live vexo-serve, Debian's promtool accepts the scrape
configuration and the live /metrics output.

    deploy_test.py VEXO_SERVE VEXO_SAMPLES DEPLOY_DIR SCRATCH_DIR
"""
import subprocess
import sys
from pathlib import Path

import yaml

from serve_test import Server, check, fresh
from v2_test import make_samples


def documents(deploy):
    found = {}
    for path in sorted(deploy.glob("*/*.yaml")):
        for document in yaml.safe_load_all(path.read_text()):
            check(document.get("apiVersion") and document.get("metadata", {}).get("name"), (path, document))
            found[document["kind"]] = document
    return found


def probes(found):
    """The probe paths of the Deployment and the ServingRuntime."""
    containers = (found["Deployment"]["spec"]["template"]["spec"]["containers"] +
                  found["ServingRuntime"]["spec"]["containers"])
    paths = [c[probe]["httpGet"]["path"] for c in containers for probe in ("readinessProbe", "livenessProbe")]
    check(len(paths) == 4, paths)
    return paths


def main(binary, samples_tool, deploy, scratch):
    deploy = Path(deploy)
    samples = make_samples(samples_tool, fresh(scratch) / "samples")
    found = documents(deploy)
    check({"Deployment", "Service", "ServingRuntime", "InferenceService"} <= set(found), sorted(found))
    check(found["InferenceService"]["spec"]["predictor"]["model"]["runtime"] ==
          found["ServingRuntime"]["metadata"]["name"], "the InferenceService names another runtime")
    check(found["ServingRuntime"]["spec"]["protocolVersions"] == ["v2"], found["ServingRuntime"])
    config = subprocess.run(["promtool", "check", "config", str(deploy / "prometheus" / "prometheus.yml")],
                            capture_output=True, text=True)
    check(config.returncode == 0, config.stdout + config.stderr)

    with Server(binary, samples / "llm.bmodel", samples / "tokenizer.model",
                "--model", f"general={samples / 'general.bmodel'}") as server:
        for path in probes(found):
            check(server.request("GET", path)[0] == 200, path)
        server.complete(prompt="hello world", max_tokens=4)
        status, _ = server.request("POST", "/v2/models/general.pad/infer",
                                   {"inputs": [{"name": "data", "shape": [4], "datatype": "UINT8", "data": [1, 2, 3, 4]}]})
        check(status == 200, status)
        status, text = server.request("GET", "/metrics")
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        check(status == 200 and lint.returncode == 0, lint.stdout + lint.stderr)
        server.stop()
    print("deploy files: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
