"""Two vexo-serve processes behind Debian's nginx, all on loopback.

    nginx_test.py VEXO_SERVE SERVE_FIXTURE VEXO_SAMPLES SCRATCH_DIR

nginx sends a conversation's turns (by the request header X-Session-Id,
consistent hashing) to one process, spreads v2 inference by least
connections, and retries a request that a process refuses with 429 (its
device busy, no place in its queue) or cannot take at all on the other
process. nginx has no active health checks: a stopped process is noticed
by the failed connection, and the request goes to the other. The test
checks that every request is answered, that each conversation's turns land
on one process and reuse its caches there, that a 429 is retried on the
other process, and that stopping one process moves its traffic to the other.
"""
import json
import signal
import subprocess
import sys

from scale_out_test import call, free_port, infer, wait_until_ready
from serve_test import Server, check, expected_tokens, fresh, make_fixture, open_stream, wait_for
from v2_test import make_samples

SESSIONS, TURNS = 6, 3
CONFIG = """
daemon off;
master_process off;
pid {scratch}/nginx.pid;
error_log {scratch}/nginx-error.log notice;
events {{ worker_connections 256; }}
http {{
  log_format upstreams '$request_uri $status upstreams=[$upstream_addr] statuses=[$upstream_status]';
  access_log {scratch}/nginx-access.log upstreams;
  client_body_temp_path {scratch}/body;
  proxy_temp_path {scratch}/proxy;
  fastcgi_temp_path {scratch}/fastcgi;
  uwsgi_temp_path {scratch}/uwsgi;
  scgi_temp_path {scratch}/scgi;

  upstream conversations {{
    hash $http_x_session_id consistent;
{conversation_servers}  }}
  # A 429 is no failure of the process: it stays in the rotation.
  upstream inference {{
    least_conn;
{inference_servers}  }}
  server {{
    listen 127.0.0.1:{port};
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_buffering off;
    proxy_next_upstream error timeout http_429 http_503 non_idempotent;
    proxy_next_upstream_tries 2;
    location /v2/ {{ proxy_pass http://inference; }}
    location / {{ proxy_pass http://conversations; }}
  }}
}}
"""


def completions(server):
    return server.metrics().get('vexo_requests_total{endpoint="/v1/completions",status="200"}', 0)


def talk(port, servers, session, prompt, turns):
    """A conversation's turns (the prompt grows by each answer and two
    tokens): checks that one process served them all and found the
    conversation in its caches after the first."""
    before = [(completions(s), s.metrics()["vexo_conversation_reuse_hits_total"]) for s in servers]
    for _ in range(turns):
        status, text = call(port, "POST", "/v1/completions",
                            {"prompt": prompt, "max_tokens": 5, "temperature": 0}, {"X-Session-Id": session})
        check(status == 200, (session, status, text))
        prompt += expected_tokens(prompt, 5) + [9, 10]
    grown = [(completions(s) - c, s.metrics()["vexo_conversation_reuse_hits_total"] - h)
             for s, (c, h) in zip(servers, before)]
    check(sorted(grown) == [(0, 0), (turns, turns - 1)], (session, grown))


def main(binary, fixture_tool, samples_tool, scratch):
    scratch = make_fixture(fixture_tool, fresh(scratch))
    general = f"general={make_samples(samples_tool, scratch / 'samples') / 'general.bmodel'}"
    # No waiting places: a busy device refuses at once with 429.
    servers = [Server(binary, scratch / "llm-long.bmodel", scratch / "tokenizer.model", "--devices", str(device),
                      "--queue", "0", "--model", general) for device in (0, 1)]
    port = free_port()
    for folder in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
        (scratch / folder).mkdir()
    lines = "".join(f"    server 127.0.0.1:{s.port};\n" for s in servers)
    (scratch / "nginx.conf").write_text(CONFIG.format(
        scratch=scratch, port=port, conversation_servers=lines,
        inference_servers=lines.replace(";\n", " max_fails=0;\n")))
    proxy = subprocess.Popen(["nginx", "-p", str(scratch), "-c", str(scratch / "nginx.conf")],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    holder = None
    try:
        wait_until_ready(port)
        prompts = {f"user-{i}": [5 + i, 17, 42] for i in range(SESSIONS)}
        for session, prompt in prompts.items():
            talk(port, servers, session, prompt, TURNS)
        infer(port, 10)
        served = [s.metrics().get('vexo_requests_total{endpoint="/v2/infer",status="200"}', 0) for s in servers]
        check(all(count >= 3 for count in served), served)

        # The first process's device is busy with a stream: the inference it
        # refuses with 429 is retried on the second.
        holder = open_stream(servers[0], [1, 3], 2000)
        wait_for(servers[0], "vexo_requests_running", 1)
        infer(port, 6)
        refused = servers[0].metrics().get('vexo_requests_total{endpoint="/v2/infer",status="429"}', 0)
        check(refused >= 1, "no request was refused")
        holder.close()
        holder = None
        wait_for(servers[0], "vexo_requests_running", 0)

        # The second process stops: every conversation and inference goes to the first.
        servers[1].stop()
        before = completions(servers[0])
        for session, prompt in prompts.items():
            status, text = call(port, "POST", "/v1/completions", {"prompt": prompt, "max_tokens": 5},
                                {"X-Session-Id": session})
            check(status == 200, (session, status, text))
        check(completions(servers[0]) == before + SESSIONS, "not every turn moved")
        infer(port, 4)
    finally:
        if holder:
            holder.close()
        proxy.send_signal(signal.SIGQUIT)
        proxy.communicate(timeout=30)
        for server in servers:
            if server.process.poll() is None:
                server.process.kill()
    log = (scratch / "nginx-access.log").read_text()
    check("statuses=[429, 200]" in log, log)
    print("vexo-serve behind nginx: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
