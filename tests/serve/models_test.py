"""Several models in one vexo-serve process, over loopback only.

    models_test.py VEXO_SERVE SERVE_FIXTURE VEXO_SAMPLES SCRATCH_DIR

One server takes a model repository (a language model "chat" on both
devices, the general sample as "vision" on device 1, each folder with its
model.conf) and a second language model "second" on device 1 from --model:
requests choose the language model by their "model" field, /v1/models and
/v2/models know every model, /metrics labels every series with its model,
and a language model and a general net on one device take turns there.
Another server serves general nets alone (the OpenAI endpoints then 404),
and a repository that cannot be served stops the server with its reason.
"""
import json
import shutil
import subprocess
import sys
import threading

from serve_test import Server, check, expected_tokens, fresh, make_fixture, open_stream, wait_for
from v2_test import make_samples

PAD = {"inputs": [{"name": "data", "shape": [4], "datatype": "UINT8", "data": [1, 2, 3, 4]}]}
PADDED = [1, 2, 3, 4, 238, 238, 238, 238]


def repository(folder, fixture, samples):
    (folder / "chat").mkdir(parents=True)
    shutil.copy(fixture / "llm-long.bmodel", folder / "chat" / "model.bmodel")
    shutil.copy(fixture / "tokenizer.model", folder / "chat" / "tokenizer.model")
    (folder / "chat" / "model.conf").write_text("# both cards\ndevices = 0,1\nqueue = 4\n")
    (folder / "vision").mkdir()
    shutil.copy(samples / "general.bmodel", folder / "vision" / "general.bmodel")
    (folder / "vision" / "model.conf").write_text("devices = 1\n")
    return folder


def infer_pad(server, results):
    status, text = server.request("POST", "/v2/models/vision.pad/infer", PAD)
    results.append((status, json.loads(text)))


def check_choice(server):
    """The model field chooses the language model; names not served are 404."""
    listed = [m["id"] for m in json.loads(server.request("GET", "/v1/models")[1])["data"]]
    check(sorted(listed) == ["chat", "second"], listed)
    for model in ("chat", "second"):
        answer = server.complete(model=model, prompt=[5, 6], max_tokens=4, temperature=0)
        check(answer["model"] == model and answer["choices"][0]["text"] == server.post(
            "/detokenize", {"model": model, "tokens": expected_tokens([5, 6], 4)})[1]["content"], answer)
    for body, text in (({"prompt": [5]}, "Name the model"), ({"model": "vision.pad", "prompt": [5]}, "does not exist")):
        status, answer = server.post("/v1/completions", body)
        check(status == 404 and text in answer["error"]["message"] and answer["error"]["param"] == "model",
              (status, answer))
    status, index = server.post("/v2/repository/index", {})
    check(status == 200 and sorted(entry["name"] for entry in index) ==
          ["chat", "second", "vision.embed", "vision.pad", "vision.reverse"] and index[0]["state"] == "READY", index)
    chat = json.loads(server.request("GET", "/v2/models/chat")[1])
    check(chat["inputs"][0]["datatype"] == "BYTES", chat)
    status, answer = server.post("/v2/models/chat/infer", PAD)
    check(status == 400 and "language model" in answer["error"], answer)
    status, text = server.request("POST", "/v2/models/vision.pad/infer", PAD)
    check(status == 200 and json.loads(text)["outputs"][0]["data"] == PADDED, text)


def check_turns(server):
    """A stream of "second" holds device 1: inference of vision.pad, served
    on device 1 only, waits until the stream ends, while "chat" goes on
    device 0."""
    holder = open_stream(server, [1, 3], 2000, model="second")
    wait_for_labelled(server, 'vexo_requests_running{model="second"}', 1)
    results = []
    waiting = threading.Thread(target=infer_pad, args=(server, results))
    waiting.start()
    wait_for_labelled(server, 'vexo_requests_waiting{model="vision.pad"}', 1)
    check(server.complete(model="chat", prompt=[7], max_tokens=2)["usage"]["completion_tokens"] == 2, "chat")
    check(not results, results)
    holder.close()
    waiting.join(timeout=60)
    check(results and results[0][0] == 200 and results[0][1]["outputs"][0]["data"] == PADDED, results)
    wait_for_labelled(server, 'vexo_generations_cancelled_total{model="second"}', 1)


def wait_for_labelled(server, name, value):
    original = server.metrics
    server.metrics = lambda: original(by_model=True)
    try:
        wait_for(server, name, value)
    finally:
        server.metrics = original


def check_metrics(server):
    values = server.metrics(by_model=True)
    for model, endpoint in (("chat", "/v1/completions"), ("second", "/v1/completions"), ("vision.pad", "/v2/infer")):
        name = f'vexo_requests_total{{model="{model}",endpoint="{endpoint}",status="200"}}'
        check(values[name] >= 2, (name, values[name]))
    check(values['vexo_requests_total{model="",endpoint="/v1/completions",status="404"}'] == 2, "unnamed 404s")
    check(values['vexo_generated_tokens_total{model="second"}'] >= 5, values)
    check(values['vexo_request_duration_seconds_count{model="chat"}'] == 2, values)
    # Generation series are the language models' only.
    check('vexo_generated_tokens_total{model="vision.pad"}' not in values and
          values['vexo_requests_running{model="vision.pad"}'] == 0, values)


def check_general_only(binary, samples):
    with Server(binary, None, None, "--model", f"general={samples / 'general.bmodel'}") as server:
        check(json.loads(server.request("GET", "/v1/models")[1])["data"] == [], "language models listed")
        status, answer = server.post("/v1/chat/completions", {"messages": [{"role": "user", "content": "hi"}]})
        check(status == 404 and "no language model" in answer["error"]["message"], answer)
        check(server.request("GET", "/health")[0] == 200, "not healthy")
        status, text = server.request("POST", "/v2/models/general.pad/infer", PAD)
        check(status == 200 and json.loads(text)["outputs"][0]["data"] == PADDED, text)
        server.stop()


def check_bad_repositories(binary, scratch, samples):
    bad = scratch / "bad"
    (bad / "pad").mkdir(parents=True)
    shutil.copy(samples / "general.bmodel", bad / "pad" / "general.bmodel")
    (bad / ".hidden").mkdir()
    for conf, reason in (("devices = 0,0", "listed twice"), ("speed = 3", "no option 'speed'"),
                         ("queue", "give key = value"), ("tokenizer =", "'tokenizer' has no value")):
        (bad / "pad" / "model.conf").write_text(conf + "\n")
        done = subprocess.run([binary, "--model-repository", str(bad), "--port", "0"], capture_output=True,
                              text=True, timeout=30)
        check(done.returncode != 0 and reason in done.stderr and "model.conf line 1" in done.stderr, done.stderr)
    done = subprocess.run([binary, "--port", "0"], capture_output=True, text=True, timeout=30)
    check(done.returncode != 0 and "nothing to serve" in done.stderr, done.stderr)


def main(binary, fixture_tool, samples_tool, scratch):
    scratch = fresh(scratch)
    fixture = make_fixture(fixture_tool, scratch / "fixture")
    samples = make_samples(samples_tool, scratch / "samples")
    folder = repository(scratch / "repository", fixture, samples)
    with Server(binary, None, None, "--devices", "0,1", "--model-repository", str(folder), "--model",
                f"second={fixture / 'llm-long.bmodel'},tokenizer={fixture / 'tokenizer.model'},devices=1") as server:
        check_choice(server)
        check_turns(server)
        check_metrics(server)
        server.stop()
    check_general_only(binary, samples)
    check_bad_repositories(binary, scratch, samples)
    print("vexo-serve with several models: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
