"""vexo-serve's bounds on what a client can make it hold, over loopback only.

    serve_limits_test.py VEXO_SERVE SERVE_FIXTURE SCRATCH_DIR

Raw sockets send what ordinary clients do not: header blocks past the limit,
chunked bodies past the body limit, bodies announced to a server that
refuses the request from its head, a flood of clients that send a byte at a
time, and prompts whose encoding would take far more than the context. Every
flood is bounded in size and time, and each check ends by itself.
"""
import concurrent.futures
import json
import os
import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from serve_test import KEY, Server, check, fresh, make_fixture  # noqa: E402


def exchange(server, head, body=b"", timeout=10):
    """Sends a request (head bytes, then as much of the body as the server
    takes) and returns the status and the JSON error or body text."""
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=timeout)
    try:
        sock.sendall(head)
        try:
            sock.sendall(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server answered and closed before taking all of it
        return read_response(sock)
    finally:
        sock.close()


def read_response(sock):
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:")]
            if (length and len(body) >= length[0]) or body.endswith(b"0\r\n\r\n"):
                break
    except ConnectionResetError:
        pass
    check(data.startswith(b"HTTP/1.1 "), f"no answer: {data[:200]!r}")
    status = int(data.split(b" ")[1])
    head, _, body = data.partition(b"\r\n\r\n")
    if b"transfer-encoding: chunked" in head.lower():
        body = unchunked(body)
    return status, body.decode()


def unchunked(body):
    data = b""
    while body:
        size, _, body = body.partition(b"\r\n")
        size = int(size, 16)
        if size == 0:
            break
        data, body = data + body[:size], body[size + 2:]
    return data


def post_head(path, extra=""):
    return (f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n{extra}\r\n").encode()


def chunked(data, size=65536):
    return b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + size]), data[i:i + size])
                    for i in range(0, len(data), size)) + b"0\r\n\r\n"


def check_error(answer, status, text=""):
    got, body = answer
    check(got == status, f"{got} instead of {status}: {body[:200]}")
    message = json.loads(body)["error"]["message"]
    check(text in message, message)


def check_heads_and_bodies(server):
    """Header blocks past 64 KiB: 431; bodies past 1 MiB, announced or
    chunked: 413; a chunked body within the limit is served."""
    headers = "".join(f"X-Filler-{i}: {'v' * 8000}\r\n" for i in range(16))
    check_error(exchange(server, f"GET /health HTTP/1.1\r\nHost: x\r\n{headers}\r\n".encode()), 431, "head")
    auth = f"Authorization: Bearer {KEY}\r\n"
    request = json.dumps({"prompt": [5, 17, 42], "max_tokens": 3, "temperature": 0}).encode()
    status, body = exchange(server, post_head("/v1/completions", auth + "Transfer-Encoding: chunked\r\n"),
                            chunked(request, 7))
    check(status == 200 and json.loads(body)["usage"]["completion_tokens"] == 3, body)
    big = b'{"prompt": "' + b"a" * (2 << 20) + b'"}'
    check_error(exchange(server, post_head("/v1/completions", auth + "Transfer-Encoding: chunked\r\n"),
                         chunked(big)), 413, "limit")
    check_error(exchange(server, post_head("/v1/completions", auth + "Transfer-Encoding: chunked\r\n"),
                         b"zz\r\n"), 400, "chunked")
    # Refused from the head: the body is never sent.
    check_error(exchange(server, post_head("/v1/completions", auth + "Content-Length: 134217728\r\n")), 413)
    check_error(exchange(server, post_head("/v1/completions", "Content-Length: 134217728\r\n")), 401)
    check_error(exchange(server, post_head("/v1/completions", "Transfer-Encoding: chunked\r\n")), 401)
    check_error(exchange(server, post_head("/v1/nothing", auth + "Content-Length: 134217728\r\n")), 404)
    check_error(exchange(server, post_head("/health", "Content-Length: 134217728\r\n")), 404)


def check_keys(binary, fixture, scratch):
    """Keys from the environment and from a file (several, one a line)."""
    keys = scratch / "keys"
    keys.write_text("first-key\r\n\nsecond-key\n")
    os.environ["VEXO_API_KEY"] = "environment-key"
    try:
        server = Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model", "--api-key-file", str(keys))
    finally:
        del os.environ["VEXO_API_KEY"]
    for key, status in (("first-key", 200), ("second-key", 200), ("environment-key", 200),
                        ("first-ke", 401), ("first-keyy", 401), ("", 401)):
        got, _ = server.request("GET", "/v1/models", headers={"Authorization": f"Bearer {key}"})
        check(got == status, (key, got))
    check(server.request("GET", "/health", key=False)[0] == 200, "health needs a key")
    server.stop()
    empty = scratch / "no-keys"
    empty.write_text("\n")
    result = subprocess.run([binary, str(fixture / "llm.bmodel"), "--tokenizer", str(fixture / "tokenizer.model"),
                             "--port", "0", "--api-key-file", str(empty)], capture_output=True, text=True, timeout=60)
    check(result.returncode == 1 and "holds no key" in result.stderr, result)


def check_slow_clients(binary, fixture):
    """40 clients that send a byte every 0.3 seconds: the connections past
    the cap are refused at once, those within it get 408 when their time is
    up, and /health and /metrics answer all along."""
    server = Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model", "--queue", "4",
                    "--max-client-connections", "6", "--request-timeout", "2")
    answers = []
    stop = threading.Event()

    def slow_client():
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        try:
            for byte in b"POST /v1/completions HTTP/1.1\r\nHost: x\r\n":
                sock.sendall(bytes([byte]))
                if stop.is_set() or select.select([sock], [], [], 0.3)[0]:
                    break  # answered already, or the flood is over
            answers.append(read_response(sock)[0])
        except (OSError, AssertionError):
            answers.append("reset")  # refused while still sending
        finally:
            sock.close()

    flood = [threading.Thread(target=slow_client) for _ in range(40)]
    for thread in flood:
        thread.start()
    time.sleep(0.5)
    started = time.monotonic()
    for path in ("/health", "/metrics") * 5:
        asked = time.monotonic()
        check(server.request("GET", path)[0] == 200, path)
        check(time.monotonic() - asked < 2, f"{path} took {time.monotonic() - asked:.1f} s")
    check(time.monotonic() - started < 10, "the probes were slow")
    stop.set()
    for thread in flood:
        thread.join(timeout=20)
    check(not any(thread.is_alive() for thread in flood), "a slow client hangs")
    check(answers.count(408) == 6, answers)
    check(answers.count(503) + answers.count("reset") == 34, answers)
    check(server.metrics()['vexo_requests_total{endpoint="other",status="408"}'] == 6, "408 not counted")
    server.stop()


def memory(pid, field):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise AssertionError(f"no {field}")


def check_long_prompts(binary, fixture):
    """8 requests at once whose 1 MiB prompts would take about a million
    tokens each: refused without encoding them, the server's peak memory
    grows by little."""
    with Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model") as server:
        pid = server.process.pid
        Path(f"/proc/{pid}/clear_refs").write_text("5")  # the peak restarts from what is resident now
        before = memory(pid, "VmRSS")
        prompt = "zqxjvkwy" * ((1 << 20) // 8 - 64)

        def ask(_):
            return server.post("/v1/completions", {"prompt": prompt, "max_tokens": 1})

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            answers = list(pool.map(ask, range(8)))
        for status, answer in answers:
            check(status == 400 and "at least" in answer["error"]["message"] and answer["error"]["param"] == "prompt",
                  answer)
        grown = memory(pid, "VmHWM") - before
        # AddressSanitizer keeps freed memory in quarantine and pads every block.
        limit = int(os.environ.get("VEXO_TEST_PEAK_GROWTH_MIB", "100"))
        check(grown < limit << 20, f"the peak grew by {grown >> 20} MiB (limit {limit} MiB)")
        server.stop()


def main(binary, fixture_tool, scratch):
    scratch = Path(scratch)
    fixture = make_fixture(fixture_tool, fresh(scratch) / "fixture")

    server = Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model", "--api-key", KEY)
    check_heads_and_bodies(server)
    server.stop()
    check_keys(binary, fixture, scratch)
    check_slow_clients(binary, fixture)
    check_long_prompts(binary, fixture)
    print("vexo-serve limits: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
