"""vexo-serve end to end on two simulated devices, over loopback only.

    serve_test.py VEXO_SERVE SERVE_FIXTURE SCRATCH_DIR

Starts the server on a free port with the sample language model, talks to
it with http.client and curl, and checks the answers against the sample's
rule for its next token: completions and chat, streamed and not, token
prompts, stop strings, concurrent clients, a client leaving mid-stream,
the errors, /health while loading, /metrics, and the exit on SIGTERM.
"""
import collections
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

KEY = "test-key"
LAYERS, VOCAB, EOS = 2, 64, 2  # the sample model and its tokenizer's end id


def expected_tokens(prompt, count):
    """What the sample generates after prompt, greedily: up to count tokens,
    ending before the end-of-sequence id."""
    tokens = list(prompt)
    out = []
    while len(out) < count:
        source = tokens[max(len(tokens) - 1 - LAYERS, 0)]
        token = (5 * ((7 * source + 3) % VOCAB) + 1) % VOCAB
        if token == EOS:
            break
        tokens.append(token)
        out.append(token)
    return out


class Server:
    """One vexo-serve process; its port is read from the line it prints."""

    def __init__(self, binary, model, tokenizer, *args, wait=True):
        """model None: only the models that args give."""
        served = [str(model), "--tokenizer", str(tokenizer)] if model is not None else []
        self.process = subprocess.Popen(
            [binary, *served, "--port", "0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.fullmatch(r"vexo-serve: listening on http://127\.0\.0\.1:(\d+)\n", line)
        if not match:
            self.process.kill()
            sys.exit(f"unexpected first line {line!r}: {self.process.stderr.read()}")
        self.port = int(match.group(1))
        self.key = KEY if "--api-key" in args else None
        self.counts = collections.Counter()  # (endpoint, status) as the client saw them
        if wait:
            self.wait_ready()

    def wait_ready(self):
        for line in self.process.stdout:
            if line.startswith("vexo-serve: ready"):
                return
        raise AssertionError(f"no ready line: {self.process.stderr.read()}")

    def request(self, method, path, body=None, headers=None, key=True, raw=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        all_headers = {"Content-Type": "application/json"}
        if key and self.key:
            all_headers["Authorization"] = f"Bearer {self.key}"
        all_headers.update(headers or {})
        data = raw if raw is not None else (json.dumps(body) if body is not None else None)
        connection.request(method, path, body=data, headers=all_headers)
        response = connection.getresponse()
        text = response.read().decode()
        connection.close()
        known = path in ("/v1/completions", "/v1/chat/completions", "/v1/models", "/health",
                         "/metrics", "/tokenize", "/detokenize")
        self.counts[(path if known else "other", response.status)] += 1
        return response.status, text

    def post(self, path, body, **kwargs):
        status, text = self.request("POST", path, body, **kwargs)
        return status, json.loads(text)

    def complete(self, **body):
        status, answer = self.post("/v1/completions", body)
        check(status == 200, f"completion failed: {status} {answer}")
        return answer

    def stream(self, path, body):
        """The chunks of a streamed answer; checks the event framing."""
        status, text = self.request("POST", path, dict(body, stream=True))
        check(status == 200, f"stream failed: {status} {text}")
        events = text.split("\n\n")
        check(events[-1] == "" and events[-2] == "data: [DONE]", f"stream ends badly: {text[-80:]!r}")
        chunks = []
        for event in events[:-2]:
            check(event.startswith("data: "), f"not an event: {event!r}")
            chunks.append(json.loads(event[len("data: "):]))
        return chunks

    def metrics(self, by_model=False):
        """The series by name; unless by_model, those of every model summed."""
        status, text = self.request("GET", "/metrics", key=False)
        check(status == 200, "no metrics")
        values = collections.Counter()
        for line in text.splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                if not by_model:
                    name = re.sub(r'model="(?:[^"\\]|\\.)*",?', "", name).replace("{}", "")
                values[name] += float(value)
        return values

    def __enter__(self):
        return self

    def __exit__(self, *error):
        """Ends a process that a failed check left running."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, err = self.process.communicate(timeout=60)
        check(self.process.returncode == 0, f"exit status {self.process.returncode}: {err}")
        return err


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def tokenize(server, text):
    return server.post("/tokenize", {"content": text, "add_special": False})[1]["tokens"]


def detokenize(server, ids):
    return server.post("/detokenize", {"tokens": ids})[1]["content"]


def check_completions(server):
    prompt = [5, 17, 42]
    want = expected_tokens(prompt, 20)
    answer = server.complete(model="llm", prompt=prompt, max_tokens=20, temperature=0)
    check(answer["object"] == "text_completion" and answer["model"] == "llm", answer)
    (choice,) = answer["choices"]
    check(choice["text"].strip() == detokenize(server, want).strip(), (choice, want))
    check(choice["finish_reason"] == ("length" if len(want) == 20 else "stop"), choice)
    check(answer["usage"] == {"prompt_tokens": 3, "completion_tokens": len(want),
                              "total_tokens": 3 + len(want)}, answer["usage"])

    # The stream's pieces make the same text; the last chunk says why it ended.
    chunks = server.stream("/v1/completions", {"prompt": prompt, "max_tokens": 20, "temperature": 0,
                                               "stream_options": {"include_usage": True}})
    check(all(c["object"] == "text_completion" and c["id"] == chunks[0]["id"] for c in chunks), chunks)
    check(chunks[-1]["choices"] == [] and chunks[-1]["usage"] == answer["usage"], chunks[-1])
    check(chunks[-2]["choices"][0]["finish_reason"] == choice["finish_reason"], chunks[-2])
    check("".join(c["choices"][0]["text"] for c in chunks[:-1]) == choice["text"], chunks)

    # Text prompts go through the tokenizer (with its begin id).
    text = server.complete(prompt="hello world", max_tokens=6, temperature=0)
    ids = [1] + tokenize(server, "hello world")
    check(text["usage"]["prompt_tokens"] == len(ids), (text, ids))
    check(text["choices"][0]["text"] ==
          server.complete(prompt=[ids], max_tokens=6, temperature=0)["choices"][0]["text"], text)

    # A stop string ends the text before it.
    full = server.complete(prompt=prompt, max_tokens=20, temperature=0)["choices"][0]["text"]
    cut = full.strip()[4:7]
    stopped = server.complete(prompt=prompt, max_tokens=20, temperature=0, stop=[cut, "never"])
    check(stopped["choices"][0]["finish_reason"] == "stop", stopped)
    check(stopped["choices"][0]["text"] == full[:full.index(cut)], (stopped, full, cut))

    # Sampling: the same seed gives the same text, over both devices.
    sampled = [server.complete(prompt=prompt, max_tokens=12, temperature=1.5, top_k=20, top_p=0.95,
                               min_p=0.01, seed=7)["choices"][0]["text"] for _ in range(3)]
    check(len(set(sampled)) == 1, sampled)


def check_chat(server):
    messages = [{"role": "system", "content": "the device runs"},
                {"role": "user", "content": "hello again"}]
    answer = server.post("/v1/chat/completions", {"model": "llm", "messages": messages,
                                                  "max_tokens": 16, "temperature": 0})[1]
    check(answer["object"] == "chat.completion", answer)
    (choice,) = answer["choices"]
    check(choice["message"]["role"] == "assistant" and choice["finish_reason"] in ("stop", "length"), choice)
    chunks = server.stream("/v1/chat/completions", {"messages": messages, "max_tokens": 16, "temperature": 0})
    check(chunks[0]["choices"][0]["delta"] == {"role": "assistant", "content": ""}, chunks[0])
    check(all(c["object"] == "chat.completion.chunk" for c in chunks), chunks)
    check(chunks[-1]["choices"][0]["finish_reason"] == choice["finish_reason"], chunks[-1])
    streamed = "".join(c["choices"][0]["delta"].get("content", "") for c in chunks)
    check(streamed == choice["message"]["content"], (streamed, choice))

    # The same through curl, which is what most people try first.
    body = json.dumps({"messages": messages, "max_tokens": 16, "temperature": 0})
    curl = subprocess.run(["curl", "-sS", "--max-time", "60", f"http://127.0.0.1:{server.port}/v1/chat/completions",
                           "-H", "Content-Type: application/json", "-H", f"Authorization: Bearer {KEY}",
                           "-d", body], capture_output=True, text=True, check=True)
    server.counts[("/v1/chat/completions", 200)] += 1
    check(json.loads(curl.stdout)["choices"][0]["message"] == choice["message"], curl.stdout)
    curl = subprocess.run(["curl", "-sS", "-N", "--max-time", "60", f"http://127.0.0.1:{server.port}/v1/completions",
                           "-H", f"Authorization: Bearer {KEY}",
                           "-d", json.dumps({"prompt": [9, 8], "max_tokens": 5, "stream": True})],
                          capture_output=True, text=True, check=True)
    server.counts[("/v1/completions", 200)] += 1
    check(curl.stdout.endswith("data: [DONE]\n\n") and curl.stdout.count("data: ") >= 2, curl.stdout)


def check_concurrency(server):
    """16 clients x 8 requests, streamed and not, greedy and sampled: each
    answer as when served alone."""
    cases = []
    for i in range(16):
        prompt = [(3 * i + j) % VOCAB for j in range(1 + i % 5)]
        sampling = {"temperature": 0} if i % 2 else {"temperature": 0.9, "seed": 100 + i}
        cases.append(dict(prompt=prompt, max_tokens=4 + i % 9, **sampling))
    alone = [server.complete(**case)["choices"][0]["text"] for case in cases]
    results = [[None] * 8 for _ in cases]
    errors = []

    def client(i):
        try:
            for r in range(8):
                case = cases[(i + r) % len(cases)]
                if r % 2:
                    chunks = server.stream("/v1/completions", case)
                    text = "".join(c["choices"][0]["text"] for c in chunks)
                else:
                    text = server.complete(**case)["choices"][0]["text"]
                results[i][r] = (text == alone[(i + r) % len(cases)])
        except Exception as error:  # reported below, on the main thread
            errors.append(error)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    check(not errors, errors)
    check(all(all(row) for row in results), results)


def check_reuse(server):
    before = server.metrics()["vexo_conversation_reuse_hits_total"]
    first = [7, 7, 1]
    answer = server.complete(prompt=first, max_tokens=5, temperature=0)
    # The next turn: what was said, the answer, and more.
    turn = first + expected_tokens(first, 5) + [9, 10]
    again = server.complete(prompt=turn, max_tokens=5, temperature=0)
    check(again["choices"][0]["text"].strip() == detokenize(server, expected_tokens(turn, 5)).strip(), again)
    check(server.metrics()["vexo_conversation_reuse_hits_total"] == before + 1, "no reuse")
    check(answer["usage"]["completion_tokens"] == 5, answer)


def check_errors(server):
    def error(status, method, path, body=None, param=None, **kwargs):
        got, text = server.request(method, path, body, **kwargs)
        check(got == status, f"{method} {path} {body}: {got} {text}")
        obj = json.loads(text)["error"]
        check(obj["message"] and obj["type"], obj)
        if param:
            check(obj["param"] == param, obj)

    error(400, "POST", "/v1/completions", raw="{not json")
    error(400, "POST", "/v1/completions", raw="[1, 2]")
    error(400, "POST", "/v1/completions", {"prompt": "a", "max_tokens": "8"}, "max_tokens")
    error(400, "POST", "/v1/completions", {"prompt": "a", "temperature": "hot"}, "temperature")
    error(400, "POST", "/v1/completions", {"prompt": "a", "stop": [1]}, "stop")
    error(400, "POST", "/v1/completions", {"prompt": "a", "stream": "yes"}, "stream")
    error(400, "POST", "/v1/completions", {"prompt": [1, -2]}, "prompt")
    error(400, "POST", "/v1/completions", {"prompt": [VOCAB]}, "prompt")
    error(400, "POST", "/v1/completions", {"max_tokens": 3}, "prompt")
    error(400, "POST", "/v1/chat/completions", {"messages": "hi"}, "messages")
    error(400, "POST", "/v1/completions", {"prompt": [1, 2], "max_tokens": 127}, "max_tokens")
    error(400, "POST", "/v1/completions", {"prompt": [1] * 129}, "prompt")
    error(404, "POST", "/v1/completions", {"model": "gpt-4", "prompt": "a"}, "model")
    error(404, "GET", "/v1/nothing")
    error(413, "POST", "/v1/completions", raw=json.dumps({"prompt": "a" * (1 << 20)}))
    error(401, "POST", "/v1/completions", {"prompt": "a"}, key=False)
    error(401, "GET", "/v1/models", headers={"Authorization": "Bearer wrong"})
    error(400, "POST", "/detokenize", {"tokens": [VOCAB + 5]}, "tokens")
    error(400, "POST", "/tokenize", {"content": 5}, "content")
    # Fields the server does not know are left alone.
    check(server.complete(prompt=[3], max_tokens=2, user="x", logprobs=None, echo=False)["choices"], "extra fields")
    models = json.loads(server.request("GET", "/v1/models")[1])
    check([m["id"] for m in models["data"]] == ["llm"], models)


def check_metrics(server, generations):
    values = server.metrics()
    for (endpoint, status), count in server.counts.items():
        if endpoint == "/metrics":
            count -= 1  # this scrape answered before it was counted
        name = f'vexo_requests_total{{endpoint="{endpoint}",status="{status}"}}'
        check(values.get(name, 0) == count, f"{name}: {values.get(name)} != {count}")
    check(values["vexo_requests_running"] == 0 and values["vexo_requests_waiting"] == 0, values)
    check(values["vexo_request_duration_seconds_count"] == generations, (values, generations))
    buckets = [v for k, v in values.items() if k.startswith("vexo_time_to_first_token_seconds_bucket")]
    check(buckets == sorted(buckets) and buckets[-1] == values["vexo_time_to_first_token_seconds_count"], buckets)
    return values


def open_stream(server, prompt, max_tokens, **fields):
    """A streamed completion whose client reads up to the first event and
    then nothing: with a small receive buffer the server soon blocks on its
    writes, so the device stays busy until the socket is closed."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    sock.connect(("127.0.0.1", server.port))
    body = json.dumps({"prompt": prompt, "max_tokens": max_tokens, "stream": True, **fields})
    sock.sendall(f"POST /v1/completions HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n\r\n{body}".encode())
    received = b""
    while b"data: " not in received:
        data = sock.recv(1024)
        check(data, f"no first event: {received!r}")
        received += data
    return sock


def wait_for(server, name, value):
    for _ in range(6000):
        if server.metrics()[name] == value:
            return
        time.sleep(0.01)
    raise AssertionError(f"{name} never became {value}")


def check_disconnect(binary, fixture):
    """A client that leaves mid-stream frees its device at the next token."""
    server = Server(binary, fixture / "llm-long.bmodel", fixture / "tokenizer.model", "--devices", "0")
    sock = open_stream(server, [1, 3, 4], 2000)
    wait_for(server, "vexo_requests_running", 1)
    sock.close()
    wait_for(server, "vexo_requests_running", 0)
    values = server.metrics()
    check(values["vexo_generations_cancelled_total"] == 1, values)
    check(values["vexo_generated_tokens_total"] < 2000, values)
    # The device serves the next request.
    check(server.complete(prompt=[4], max_tokens=3)["usage"]["completion_tokens"] == 3, "device not freed")
    server.stop()


def check_queue(binary, fixture):
    """Two devices held by streams, one place in the queue: the next request
    waits, the one after is refused with 429, and the waiting one is served
    once a device is free."""
    server = Server(binary, fixture / "llm-long.bmodel", fixture / "tokenizer.model",
                    "--devices", "0,1", "--queue", "1")
    holders = [open_stream(server, [1, 3 + i], 2000) for i in range(2)]
    wait_for(server, "vexo_requests_running", 2)
    waiting = []
    thread = threading.Thread(target=lambda: waiting.append(server.complete(prompt=[5], max_tokens=4)))
    thread.start()
    wait_for(server, "vexo_requests_waiting", 1)
    status, answer = server.post("/v1/completions", {"prompt": [6], "max_tokens": 4})
    check(status == 429 and answer["error"]["type"] and answer["error"]["message"], (status, answer))
    holders[0].close()
    thread.join()
    check(waiting[0]["usage"]["completion_tokens"] == 4, waiting)
    holders[1].close()
    wait_for(server, "vexo_requests_running", 0)
    server.stop()


def check_jinja_chat(binary, fixture, scratch):
    """A Jinja template sees the messages in full (tool calls too) and the
    template options; a conversation it refuses is a 400."""
    template = scratch / "chat.jinja"
    template.write_text(
        "{% for m in messages %}{% if m.role not in ['system', 'user', 'assistant', 'tool'] %}"
        "{{ raise_exception('unknown role ' ~ m.role) }}{% endif %}{{ m.role }}: {{ m.content }}"
        "{% for call in m.tool_calls or [] %} call {{ call.function.arguments | tojson }}{% endfor %}\n{% endfor %}"
        "{% if tools %}tools {{ tools | tojson }}{% endif %}{% if shout %}!!!{% endif %}"
        "{% if add_generation_prompt %}assistant:{% endif %}\n")
    server = Server(binary, fixture / "llm-long.bmodel", fixture / "tokenizer.model", "--chat-template", str(template))
    messages = [{"role": "user", "content": "the dog"},
                {"role": "assistant", "content": None, "tool_calls": [
                    {"id": "c1", "type": "function", "function": {"name": "f", "arguments": {"a": 1}}}]},
                {"role": "tool", "tool_call_id": "c1", "content": "done"}]
    tools = [{"type": "function", "function": {"name": "f", "parameters": {"type": "object"}}}]

    def prompt_tokens(**extra):
        status, answer = server.post("/v1/chat/completions", {"messages": messages, "max_tokens": 1, **extra})
        check(status == 200, answer)
        return answer["usage"]["prompt_tokens"]
    plain = prompt_tokens()
    # Tools go to the template, unless tool_choice is "none".
    check(prompt_tokens(tools=tools) > plain, "the tools are not passed")
    check(prompt_tokens(tools=tools, tool_choice="none") == plain, "tools offered under tool_choice none")
    check(prompt_tokens(chat_template_kwargs={"shout": True}) > plain, "the template options are not passed")
    status, answer = server.post("/v1/chat/completions", {"messages": [{"role": "robot", "content": "x"}]})
    check(status == 400 and "raise_exception: unknown role robot" in answer["error"]["message"], (status, answer))
    status, answer = server.post("/v1/chat/completions", {"messages": messages, "tools": {"f": 1}})
    check(status == 400 and answer["error"]["param"] == "tools", (status, answer))
    server.stop()


def check_loading(binary, fixture, scratch):
    """/health answers 503 until the model is loaded: the chat template
    comes through a pipe that this test fills when it is ready."""
    pipe = scratch / "chat-template.pipe"
    os.mkfifo(pipe)
    server = Server(binary, fixture / "llm.bmodel", fixture / "tokenizer.model", "--devices", "0,1",
                    "--api-key", KEY, "--chat-template", str(pipe), wait=False)
    check(server.request("GET", "/health")[0] == 503, "healthy while loading")
    status, answer = server.post("/v1/completions", {"prompt": "a"})
    check(status == 503 and answer["error"]["message"], answer)
    with open(pipe, "w") as writer:
        writer.write("# ChatML\n"
                     "message = <|im_start|>{role}\\n{content}<|im_end|>\\n\n"
                     "generation = <|im_start|>assistant\\n\n"
                     "stop = <|im_end|>\n")
    server.wait_ready()
    check(server.request("GET", "/health")[0] == 200, "not healthy when loaded")
    return server


def check_startup_errors(binary, fixture):
    """A model that cannot be served ends the process with one error line."""
    for args, text in (([str(fixture / "tokenizer.model")], "as a language model"),
                       ([str(fixture / "llm.bmodel"), "--devices", "0,0"], "listed twice"),
                       ([str(fixture / "missing.bmodel")], "cannot open")):
        result = subprocess.run([binary, *args, "--tokenizer", str(fixture / "tokenizer.model"), "--port", "0"],
                                capture_output=True, text=True, timeout=60)
        # The library's log lines say why; the tool's own error line comes last.
        errors = [line for line in result.stderr.splitlines() if line.startswith("vexo-serve: error: ")]
        check(result.returncode == 1 and len(errors) == 1 and result.stderr.endswith(errors[0] + "\n")
              and text in errors[0], (args, result))


def fresh(scratch):
    """An empty scratch folder."""
    scratch = Path(scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    return scratch


def make_fixture(fixture_tool, folder):
    """The models and tokenizer that serve_fixture writes, in folder."""
    folder.mkdir(exist_ok=True)
    subprocess.run([fixture_tool, str(folder)], check=True)
    return folder


def main(binary, fixture_tool, scratch):
    scratch = fresh(scratch)
    fixture = make_fixture(fixture_tool, scratch / "fixture")

    server = check_loading(binary, fixture, scratch)
    try:
        check_completions(server)
        check_chat(server)
        check_concurrency(server)
        check_reuse(server)
        check_errors(server)
        generations = sum(count for (endpoint, status), count in server.counts.items()
                          if endpoint in ("/v1/completions", "/v1/chat/completions") and status == 200)
        check_metrics(server, generations)
        err = server.stop()
        check("runtime error" not in err and "Sanitizer" not in err, err)
    finally:
        if server.process.poll() is None:
            server.process.kill()
    check_startup_errors(binary, fixture)
    check_disconnect(binary, fixture)
    check_queue(binary, fixture)
    check_jinja_chat(binary, fixture, scratch)
    print("vexo-serve end to end: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
