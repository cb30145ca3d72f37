#!/usr/bin/env python3
"""Measures orvane-server: requests per second and median/worst latency for 1, 2 and 4 parallel
HTTP clients, the time from the first audio chunk to the first Wyoming transcript-chunk and to
the first transcript.text.delta, and the memory a running stream adds.

usage: bench/server_bench.py SERVER_BINARY MODEL_DIR AUDIO.wav [--requests N] [--cpu] [--int8]
"""
import argparse, http.client, json, os, re, signal, socket, statistics, subprocess, tempfile, threading, time, wave


def start_server(binary, model, extra):
    log = tempfile.NamedTemporaryFile(prefix="orvane-server-bench-", suffix=".log", delete=False)
    proc = subprocess.Popen([binary, "-d", model, "--http", "127.0.0.1:0", "--wyoming", "tcp://127.0.0.1:0",
                             "--streams", "4", *extra], stderr=log)
    ports = {}
    for _ in range(600):
        text = open(log.name).read()
        for key, pattern in (("http", r"HTTP on [^ ]+:(\d+)"), ("wyoming", r"Wyoming on tcp://[^ ]+:(\d+)")):
            m = re.search(pattern, text)
            if m:
                ports[key] = int(m.group(1))
        if len(ports) == 2:
            break
        time.sleep(0.05)
    return proc, ports


def wait_ready(port):
    while True:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
        c.request("GET", "/health")
        if c.getresponse().status == 200:
            return
        time.sleep(0.2)


def multipart(audio, fields):
    boundary = "benchboundary7d3f"
    parts = [f'--{boundary}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n'.encode() for k, v in fields.items()]
    parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="file"; filename="a.wav"\r\n'
                 f'Content-Type: audio/wav\r\n\r\n'.encode() + audio + b"\r\n")
    return b"".join(parts) + f"--{boundary}--\r\n".encode(), f"multipart/form-data; boundary={boundary}"


def post(port, audio, fields):
    body, ctype = multipart(audio, fields)
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    c.request("POST", "/v1/audio/transcriptions", body=body, headers={"Content-Type": ctype})
    return c.getresponse()


def http_load(port, audio, clients, requests):
    latencies, lock = [], threading.Lock()

    def client():
        for _ in range(requests):
            t = time.perf_counter()
            r = post(port, audio, {"response_format": "json"})
            r.read()
            with lock:
                latencies.append(time.perf_counter() - t)

    start = time.perf_counter()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    elapsed = time.perf_counter() - start
    return len(latencies) / elapsed, statistics.median(latencies), max(latencies)


def first_delta(port, audio):
    t = time.perf_counter()
    r = post(port, audio, {"stream": "true"})
    for line in r:
        if line.startswith(b"data:") and b"transcript.text.delta" in line:
            return time.perf_counter() - t
    return float("nan")


def wyoming_event(sock, kind, data=None, payload=b""):
    body = json.dumps(data or {}).encode()
    header = {"type": kind, "data_length": len(body), "payload_length": len(payload)}
    sock.sendall(json.dumps(header).encode() + b"\n" + body + payload)


def first_chunk(port, pcm, rate):
    """Audio sent in 100 ms chunks at real-time pace; seconds from the first to the first text."""
    sock = socket.create_connection(("127.0.0.1", port))
    fmt = {"rate": rate, "width": 2, "channels": 1}
    wyoming_event(sock, "audio-start", fmt)
    got = {}
    reader = sock.makefile("rb")

    def read():
        while True:
            line = reader.readline()
            if not line:
                return
            h = json.loads(line)
            reader.read(h.get("data_length") or 0)
            reader.read(h.get("payload_length") or 0)
            if h["type"] == "transcript-chunk" and "t" not in got:
                got["t"] = time.perf_counter()
            if h["type"] == "transcript-stop":
                return

    thread = threading.Thread(target=read)
    thread.start()
    step = rate // 10 * 2
    start = time.perf_counter()
    for i, at in enumerate(range(0, len(pcm), step)):
        time.sleep(max(0, start + i * 0.1 - time.perf_counter()))
        wyoming_event(sock, "audio-chunk", fmt, pcm[at:at + step])
    wyoming_event(sock, "audio-stop")
    thread.join()
    sock.close()
    return got.get("t", float("nan")) - start


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server"), ap.add_argument("model"), ap.add_argument("audio")
    ap.add_argument("--requests", type=int, default=4)
    ap.add_argument("--cpu", action="store_true"), ap.add_argument("--int8", action="store_true")
    a = ap.parse_args()
    audio = open(a.audio, "rb").read()
    with wave.open(a.audio) as w:
        rate, pcm, seconds = w.getframerate(), w.readframes(w.getnframes()), w.getnframes() / w.getframerate()
        assert w.getsampwidth() == 2 and w.getnchannels() == 1, "a 16-bit mono WAV"
    proc, ports = start_server(a.server, a.model, (["--cpu"] if a.cpu else []) + (["--int8"] if a.int8 else []))
    try:
        wait_ready(ports["http"])
        post(ports["http"], audio, {}).read()  # warm-up
        print(f"audio: {seconds:.2f} s")
        for clients in (1, 2, 4):
            rps, median, worst = http_load(ports["http"], audio, clients, a.requests)
            print(f"http clients={clients}: {rps:.2f} requests/s, latency median {median * 1000:.0f} ms, worst {worst * 1000:.0f} ms")
        print(f"first transcript.text.delta: {first_delta(ports['http'], audio) * 1000:.0f} ms after the request")
        print(f"first transcript-chunk: {first_chunk(ports['wyoming'], pcm, rate) * 1000:.0f} ms after the first audio chunk (real-time audio)")
        idle = rss_kb(proc.pid)
        sock = socket.create_connection(("127.0.0.1", ports["wyoming"]))
        fmt = {"rate": rate, "width": 2, "channels": 1}
        wyoming_event(sock, "audio-start", fmt)
        wyoming_event(sock, "audio-chunk", fmt, pcm)
        time.sleep(2)
        running = rss_kb(proc.pid)
        sock.close()
        print(f"memory: {idle / 1024:.0f} MB idle, +{(running - idle) / 1024:.1f} MB with one running stream")
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait()


if __name__ == "__main__":
    main()
