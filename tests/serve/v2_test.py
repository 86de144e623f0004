"""vexo-serve's v2 inference protocol end to end, over loopback only.

    v2_test.py VEXO_SERVE VEXO_SAMPLES SCRATCH_DIR

Serves the sample language model and, beside it, the general sample's nets
twice (as "general.NET" on both devices and "single.NET" on device 1), and
sends every reference case of the general sample through JSON and through
the binary tensor data extension: the outputs must equal the references
that vexo-samples writes. Also the metadata, the health endpoints, the API key, and bad
requests (400 or 404, the server staying healthy).
"""
import http.client
import json
import struct
import subprocess
import sys

import numpy

from serve_test import KEY, Server, check, fresh


def make_samples(samples_tool, folder):
    """The sample models and reference files that vexo-samples writes, in folder."""
    subprocess.run([samples_tool, "--out", str(folder)], check=True, stdout=subprocess.DEVNULL)
    return folder

# Element type codes and their v2 names and numpy types.
TYPES = {0: ("FP32", numpy.float32), 1: ("FP16", numpy.float16), 2: ("INT8", numpy.int8),
         3: ("UINT8", numpy.uint8), 4: ("INT16", numpy.int16), 5: ("UINT16", numpy.uint16),
         6: ("INT32", numpy.int32), 7: ("UINT32", numpy.uint32)}
HEADER = "Inference-Header-Content-Length"


def read_tensor(path):
    """A tensor file: (dtype, shape, data bytes)."""
    raw = path.read_bytes()
    dtype, dims = struct.unpack_from("<iQ", raw, 0)
    shape = list(struct.unpack_from("<8Q", raw, 12))[:dims]
    (size,) = struct.unpack_from("<Q", raw, 76)
    return dtype, shape, raw[84:84 + size]


def cases(samples):
    """Every reference case: (net, [(name, dtype, shape, bytes)] inputs, the same for outputs)."""
    for folder in sorted((samples / "general").iterdir()):
        net = folder.name.rsplit("-", 1)[0]
        sides = [[(p.name[:-len(".tensor")], *read_tensor(p)) for p in sorted((folder / side).iterdir())]
                 for side in ("inputs", "expected")]
        yield net, sides[0], sides[1]


def infer(server, model, head, binary=b"", path=None):
    body = json.dumps(head).encode()
    headers = {"Content-Type": "application/json", "Authorization": f"Bearer {KEY}"}
    if binary:
        headers[HEADER] = str(len(body))
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    connection.request("POST", path or f"/v2/models/{model}/infer", body=body + binary, headers=headers)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    length = response.getheader(HEADER)
    if length is None:
        return response.status, json.loads(data), b""
    return response.status, json.loads(data[:int(length)]), data[int(length):]


def get(server, path):
    status, text = server.request("GET", path)
    return status, json.loads(text)


def check_references(server, samples):
    """JSON and binary bodies give the reference outputs, on both models."""
    count = 0
    for net, inputs, expected in cases(samples):
        for model in (f"general.{net}", f"single.{net}"):
            # JSON: 16-bit floats go as FP32 numbers (the server rounds them).
            head = {"id": "case", "inputs": [
                {"name": name, "shape": shape, "datatype": "FP32" if dtype == 1 else TYPES[dtype][0],
                 "data": numpy.frombuffer(data, TYPES[dtype][1]).reshape(shape).astype(
                     numpy.float32 if dtype == 1 else TYPES[dtype][1]).tolist()}
                for name, dtype, shape, data in inputs]}
            status, answer, _ = infer(server, model, head)
            check(status == 200 and answer["model_name"] == model and answer["id"] == "case", answer)
            outputs = {o["name"]: o for o in answer["outputs"]}
            for name, dtype, shape, data in expected:
                out = outputs[name]
                check(out["datatype"] == TYPES[dtype][0] and out["shape"] == shape, out)
                got = numpy.array(out["data"], dtype=TYPES[dtype][1]).tobytes()
                check(got == data, (model, name, out["data"]))
            # Binary both ways, bytes as they are.
            head = {"inputs": [{"name": name, "shape": shape, "datatype": TYPES[dtype][0],
                                "parameters": {"binary_data_size": len(data)}}
                               for name, dtype, shape, data in inputs],
                    "parameters": {"binary_data_output": True}}
            status, answer, tail = infer(server, model, head, b"".join(d for *_, d in inputs))
            check(status == 200, answer)
            offset = 0
            for out, (name, dtype, shape, data) in zip(answer["outputs"], expected):
                size = out["parameters"]["binary_data_size"]
                check(out["name"] == name and tail[offset:offset + size] == data, (model, out))
                offset += size
            check(offset == len(tail), answer)
            count += 1
    check(count == 10, f"{count} cases")


def check_key(server):
    """The API key guards everything but the health probes."""
    for method, path in (("GET", "/v2"), ("GET", "/v2/models/general.pad"), ("POST", "/v2/models/general.pad/infer")):
        status, text = server.request(method, path, {}, key=False)
        check(status == 401 and "API key" in json.loads(text)["error"], (path, status, text))
    for path in ("/v2/health/live", "/v2/health/ready"):
        check(server.request("GET", path, key=False)[0] == 200, path)


def check_metadata(server):
    check(get(server, "/v2") == (200, {"name": "vexo-serve", "version": get(server, "/v2")[1]["version"],
                                       "extensions": ["binary_tensor_data"]}), "server metadata")
    check(get(server, "/v2/health/live")[0] == 200 and get(server, "/v2/health/ready")[0] == 200, "health")
    status, embed = get(server, "/v2/models/general.embed/versions/1")
    check(status == 200 and embed["platform"] == "vexo_bmodel" and embed["inputs"] ==
          [{"name": "ids", "datatype": "INT32", "shape": [-1]}] and embed["outputs"] ==
          [{"name": "rows", "datatype": "FP16", "shape": [-1, 4]}, {"name": "valid", "datatype": "INT32", "shape": [-1]}],
          embed)
    status, pad = get(server, "/v2/models/single.pad")
    check(status == 200 and pad["inputs"] == [{"name": "data", "datatype": "UINT8", "shape": [4]}], pad)
    status, llm = get(server, "/v2/models/llm")
    check(status == 200 and llm["inputs"][0]["datatype"] == "BYTES", llm)
    check(get(server, "/v2/models/single.reverse/ready") == (200, {"name": "single.reverse", "ready": True}), "ready")
    check(get(server, "/v2/models/general")[0] == 404, "a file of several nets has no model of its own name")
    check(get(server, "/v2/models/general.embed/versions/2")[0] == 404, "version 2")


def check_errors(server):
    """Bad requests are refused with a reason; the server stays healthy."""
    ids = {"name": "ids", "shape": [1], "datatype": "INT32", "data": [3]}
    bad = [
        ("general.embed", {"inputs": [dict(ids, shape=[3], data=[1, 2, 3])]}, 400, "takes no inputs ids [3]"),
        ("general.embed", {"inputs": [dict(ids, datatype="FP32")]}, 400, "takes INT32 data, not FP32"),
        ("general.embed", {"inputs": [dict(ids, data=[2 ** 31])]}, 400, "is not a value of INT32"),
        ("general.embed", {"inputs": [dict(ids, data=[1, 2])]}, 400, "holds 2 elements"),
        ("general.embed", {"inputs": [dict(ids, data=[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]])]}, 400, "nested"),
        ("general.embed", {"inputs": [ids, ids]}, 400, "given twice"),
        ("general.embed", {"inputs": [dict(ids, name="other")]}, 400, "takes no inputs other"),
        ("general.embed", {"inputs": [dict(ids, datatype="INT4")]}, 400, "unknown datatype"),
        ("general.embed", {"inputs": [ids], "outputs": [{"name": "nope"}]}, 400, "no output 'nope'"),
        ("general.embed", {"inputs": []}, 400, "non-empty"),
        ("general.embed", {}, 400, "no 'inputs'"),
        ("nothing", {"inputs": [ids]}, 404, "no model"),
        ("llm", {"inputs": [ids]}, 400, "language model"),
    ]
    for model, head, status, text in bad:
        got, answer, _ = infer(server, model, head)
        check(got == status and text in answer["error"], (model, head, got, answer))
    # Binary sizes that do not add up, and a head length past the body.
    binary = {"inputs": [dict(ids, data=None, parameters={"binary_data_size": 4})]}
    del binary["inputs"][0]["data"]
    for tail, text in ((b"\0\0\0", "binary_data_size"), (b"\0" * 8, "belong to no input")):
        got, answer, _ = infer(server, "general.embed", binary, tail)
        check(got == 400 and text in answer["error"], answer)
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    connection.request("POST", "/v2/models/general.embed/infer", body=b"{}",
                       headers={HEADER: "99", "Authorization": f"Bearer {KEY}"})
    response = connection.getresponse()
    check(response.status == 400 and HEADER in json.loads(response.read())["error"], response.status)
    connection.close()
    status, answer = server.request("POST", "/v2/models/general.embed/infer", raw="not json")
    check(status == 400, answer)
    check(get(server, "/v2/health/ready")[0] == 200, "unhealthy after bad requests")
    status, answer, _ = infer(server, "general.embed", {"inputs": [ids]})
    check(status == 200 and answer["outputs"][1]["data"] == [1], answer)


def main(binary, samples_tool, scratch):
    samples = make_samples(samples_tool, fresh(scratch) / "samples")
    with Server(binary, samples / "llm.bmodel", samples / "tokenizer.model", "--devices", "0,1",
                "--model", f"general={samples / 'general.bmodel'}",
                "--model", f"single={samples / 'general.bmodel'},devices=1", "--api-key", KEY) as server:
        check_key(server)
        check_metadata(server)
        check_references(server, samples)
        check_errors(server)
        # The language model still answers beside them.
        check(server.complete(prompt=[5, 6], max_tokens=3, temperature=0)["usage"]["completion_tokens"] >= 1, "llm")
        server.stop()
    print("vexo-serve v2 protocol: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
