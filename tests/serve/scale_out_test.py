"""Two vexo-serve processes behind Debian's HAProxy, all on loopback.

    scale_out_test.py VEXO_SERVE SERVE_FIXTURE VEXO_SAMPLES SCRATCH_DIR

HAProxy checks each process on /v2/health/ready, sends a conversation's
turns (by the request header X-Session-Id, consistent hashing) to one
process, spreads v2 inference by least connections, and retries a request
whose process fails on the other. The test checks that every request is
answered, that each conversation's turns are reused on its process, that
both processes take work, and that stopping one moves its traffic to the
other.
"""
import http.client
import json
import signal
import socket
import subprocess
import sys
import time

from serve_test import Server, check, expected_tokens, fresh, make_fixture
from v2_test import make_samples

SESSIONS, TURNS = 8, 3
CONFIG = """
global
  maxconn 256

defaults
  mode http
  timeout connect 2s
  timeout client 60s
  timeout server 60s
  retries 3
  option redispatch 1
  retry-on conn-failure empty-response response-timeout 503
  default-server check inter 100ms fall 1 rise 1

frontend api
  bind 127.0.0.1:{port}
  use_backend inference if {{ path_beg /v2/ }}
  default_backend conversations

backend conversations
  balance hdr(X-Session-Id)
  hash-type consistent
  option httpchk GET /v2/health/ready
  http-check expect status 200
{servers}
backend inference
  balance leastconn
  option httpchk GET /v2/health/ready
  http-check expect status 200
{servers}
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def call(port, method, path, body, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request(method, path, body=json.dumps(body) if body is not None else None,
                       headers={"Content-Type": "application/json", **(headers or {})})
    response = connection.getresponse()
    text = response.read().decode()
    connection.close()
    return response.status, text


def wait_until_ready(port):
    """Until the proxy listens and finds a process ready."""
    for _ in range(500):
        try:
            if call(port, "GET", "/v2/health/ready", None)[0] == 200:
                return
        except OSError:
            pass
        time.sleep(0.02)
    raise AssertionError("the proxy never answered ready")


def counter(server, name):
    return server.metrics().get(name, 0)


def served(server, endpoint):
    return counter(server, f'vexo_requests_total{{endpoint="{endpoint}",status="200"}}')


def talk(port, prompts, turns):
    """The turns of each conversation in a row (a device's caches hold one):
    each prompt grows by the answer and two tokens."""
    for session, prompt in prompts.items():
        for _ in range(turns):
            status, text = call(port, "POST", "/v1/completions",
                                {"prompt": prompt, "max_tokens": 5, "temperature": 0}, {"X-Session-Id": session})
            check(status == 200, (session, status, text))
            prompt += expected_tokens(prompt, 5) + [9, 10]


def infer(port, count):
    body = {"inputs": [{"name": "data", "shape": [4], "datatype": "UINT8", "data": [1, 2, 3, 4]}]}
    for _ in range(count):
        status, text = call(port, "POST", "/v2/models/general.pad/infer", body)
        check(status == 200 and json.loads(text)["outputs"][0]["data"] == [1, 2, 3, 4, 238, 238, 238, 238], text)


def main(binary, fixture_tool, samples_tool, scratch):
    scratch = make_fixture(fixture_tool, fresh(scratch))
    general = f"general={make_samples(samples_tool, scratch / 'samples') / 'general.bmodel'}"
    servers = [Server(binary, scratch / "llm.bmodel", scratch / "tokenizer.model", "--devices", str(device),
                      "--model", general) for device in (0, 1)]
    port = free_port()
    lines = "".join(f"  server p{i} 127.0.0.1:{s.port}\n" for i, s in enumerate(servers))
    (scratch / "haproxy.cfg").write_text(CONFIG.format(port=port, servers=lines))
    proxy = subprocess.Popen(["haproxy", "-db", "-f", str(scratch / "haproxy.cfg")],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        wait_until_ready(port)
        prompts = {f"user-{i}": [5 + i, 17, 42] for i in range(SESSIONS)}
        talk(port, prompts, TURNS)
        # Every turn after the first found its conversation on its process.
        hits = [counter(s, "vexo_conversation_reuse_hits_total") for s in servers]
        check(sum(hits) == SESSIONS * (TURNS - 1) and all(hits), hits)
        infer(port, 10)
        check(all(served(s, "/v2/infer") >= 3 for s in servers), [served(s, "/v2/infer") for s in servers])

        # One process stops: its conversations and inference move to the other.
        servers[1].stop()
        before = served(servers[0], "/v1/completions")
        talk(port, prompts, 1)
        infer(port, 4)
        check(served(servers[0], "/v1/completions") == before + SESSIONS, "not every turn moved")
    finally:
        proxy.send_signal(signal.SIGTERM)
        output = proxy.communicate(timeout=30)[0]
        if servers[0].process.poll() is None:
            servers[0].stop()
        for server in servers:
            if server.process.poll() is None:
                server.process.kill()
    # The health check saw the stopped process go; nothing else went wrong.
    check("Server conversations/p1 is DOWN" in output and "ALERT" not in output, output)
    print("vexo-serve behind HAProxy: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
