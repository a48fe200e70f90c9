#!/usr/bin/env python3
"""Reads back the capture `kwsim --pcap` writes of the built-in tour, with nothing but struct.

read_pcap.py KWSIM DIR [DEVICE]

Runs the tour with --json --pcap DIR/kwsim-tour.pcap and checks the file as a USB capture with the
Windows pseudo-header (link type 249): the pcap headers, every record's lengths and layout, each
request's submission and completion, the start's requests, the bulk and isochronous loopbacks'
data against what kwsim's JSON steps report, and the vendor requests' setup and data stages.
When tshark is installed it must read every record without a malformed or warning mark.
With DEVICE, a description whose start fails: its capture ends with the stalled request.
"""
import json
import os
import shutil
import struct
import subprocess
import sys

CONTROL, ISOCHRONOUS, INTERRUPT, BULK, IRP_INFO = 2, 0, 1, 3, 0xFE
GET_DESCRIPTOR, SELECT_CONFIGURATION, BULK_TRANSFER, ISOCH_TRANSFER, VENDOR_DEVICE = 0x0B, 0x00, 0x09, 0x0A, 0x17
SETUP, DATA, COMPLETE = 0, 1, 3


def records(path):
    blob = open(path, "rb").read()
    magic, major, minor, zone, sigfigs, snaplen, link = struct.unpack_from("<IHHiIII", blob)
    assert (magic, major, minor, zone, link) == (0xA1B2C3D4, 2, 4, 0, 249), (hex(magic), link)
    out, at, last = [], 24, 0
    while at < len(blob):
        sec, usec, kept, whole = struct.unpack_from("<IIII", blob, at)
        assert kept == whole <= snaplen and usec < 1000000, (at, kept, whole)
        p = blob[at + 16:at + 16 + kept]
        assert len(p) == kept, "cut record at %d" % at
        at += 16 + kept
        hlen, irp, status, function, info, bus, dev, ep, transfer, dlen = struct.unpack_from("<HQIHBHHBBI", p)
        assert hlen + dlen == kept, ("data length", irp, hlen, dlen, kept)
        r = dict(time=sec * 1000000 + usec, irp=irp, status=status, function=function, done=info & 1,
                 endpoint=ep, transfer=transfer, data=p[hlen:], extra=p[27:hlen])
        assert info & ~1 == 0 and (bus, dev) == (1, 1), r
        assert r["time"] >= last, ("time runs back", r)
        last = r["time"]
        if transfer == CONTROL:
            assert hlen == 28, r
            r["stage"] = p[27]
        elif transfer == ISOCHRONOUS:
            start, n, errors = struct.unpack_from("<III", p, 27)
            assert hlen == 27 + 12 + 12 * n, (hlen, n)
            r["start"], r["errors"] = start, errors
            r["packets"] = [struct.unpack_from("<III", p, 39 + 12 * i) for i in range(n)]
        else:
            assert hlen == 27 and transfer in (BULK, INTERRUPT, IRP_INFO), r
        out.append(r)
    return out


def requests(recs):
    """Each request ID: its submission records, then exactly one completion after them."""
    by = {}
    for r in recs:
        q = by.setdefault(r["irp"], {"sub": [], "done": None})
        assert q["done"] is None, ("record after the completion", r)
        if r["done"]:
            assert q["sub"], ("completion without a submission", r)
            q["done"] = r
        else:
            q["sub"].append(r)
    assert all(q["done"] for q in by.values()), "a request never completed"
    assert sorted(by) == list(range(1, len(by) + 1)), "request IDs are not 1, 2, 3, ..."
    for q in by.values():
        s, d = q["sub"][0], q["done"]
        assert s["status"] == 0 and (s["function"], s["endpoint"], s["transfer"]) == \
            (d["function"], d["endpoint"], d["transfer"]), (s, d)
        out_ep = s["endpoint"] & 0x80 == 0
        if s["transfer"] == CONTROL:
            setup = s["data"]
            assert s["stage"] == SETUP and len(setup) == 8 and d["stage"] == COMPLETE, q
            assert setup[0] & 0x80 == s["endpoint"] & 0x80, ("direction bit", setup.hex(), s["endpoint"])
            wlength = struct.unpack_from("<H", setup, 6)[0]
            stages = q["sub"][1:]
            assert len(stages) == (1 if out_ep and wlength and d["status"] == 0 else 0), q
            assert all(x["stage"] == DATA and len(x["data"]) == wlength for x in stages), stages
            assert out_ep or len(d["data"]) <= wlength, (setup.hex(), len(d["data"]))
        else:
            assert len(q["sub"]) == 1, q
        # OUT data goes with the submission, IN data with the completion; never the other way.
        if s["transfer"] != CONTROL:
            assert not (s["data"] and not out_ep) and not (d["data"] and out_ep), ("data direction", s, d)
        if out_ep and s["transfer"] == CONTROL:
            assert not d["data"], d
    return by


def iso_bytes(rec):
    return b"".join(rec["data"][off:off + n] for off, n, _ in rec["packets"])


def check(kwsim, workdir):
    pcap = os.path.join(workdir, "kwsim-tour.pcap")
    p = subprocess.run([kwsim, "--json", "--pcap", pcap], capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, (p.returncode, p.stderr[-2000:])
    steps = [json.loads(line) for line in p.stdout.splitlines() if line.strip()]
    recs = records(pcap)
    reqs = requests(recs)
    order = [reqs[i] for i in sorted(reqs)]

    # The start: device descriptor, configuration descriptor, then the configuration selected.
    setups = [(q["sub"][0]["function"], q["sub"][0]["data"]) for q in order if q["sub"][0]["transfer"] == CONTROL]
    assert setups[0] == (GET_DESCRIPTOR, bytes.fromhex("8006000100001200")), setups[0]
    assert setups[1][0] == GET_DESCRIPTOR and setups[1][1][:4] == bytes.fromhex("80060002"), setups[1]
    select = next(i for i, s in enumerate(setups) if s[0] == SELECT_CONFIGURATION)
    assert select > 1 and setups[select][1] == bytes.fromhex("0009010000000000"), setups[select]
    device = order[0]["done"]["data"]
    assert len(device) == 18 and device[:2] == b"\x12\x01", device.hex()
    assert struct.unpack_from("<HH", device, 8) == (0x1209, 0x0001), device.hex()
    config = order[1]["done"]["data"]
    assert config[1] == 2 and len(config) == struct.unpack_from("<H", config, 2)[0], config.hex()

    # The bulk loopback: what went out on 0x01, in submission order, is what every read of the
    # tour's "in" handle reported; what came back on 0x81 is the same.
    out_data = [q["sub"][0]["data"] for q in order if q["sub"][0]["endpoint"] == 0x01 and
                q["sub"][0]["function"] == BULK_TRANSFER]
    in_data = [q["done"]["data"] for q in order if q["sub"][0]["endpoint"] == 0x81 and
               q["sub"][0]["function"] == BULK_TRANSFER and q["done"]["status"] == 0]
    reads = [bytes(s["bytes"]) for s in steps if s["step"] in ("read in", "wait asleep") and s.get("bytes")]
    writes = [bytes(s["bytes"]) for s in steps if s["step"] == "write out" and s.get("bytes")]
    assert reads and reads[0] == bytes(i % 256 for i in range(200)), reads[:1]
    assert out_data == writes and in_data == reads, (len(out_data), len(writes), len(in_data), len(reads))
    # The read left pending at the unplug ends without data and with the device gone.
    gone = [q["done"] for q in order if q["sub"][0]["endpoint"] == 0x81 and q["done"]["status"] == 0xC0007000]
    assert len(gone) == 1 and not gone[0]["data"], gone

    # The isochronous loopback: packets of the write on 0x03 and the read on 0x83.
    iso_out = [q for q in order if q["sub"][0]["transfer"] == ISOCHRONOUS and q["sub"][0]["endpoint"] == 0x03]
    iso_in = [q for q in order if q["sub"][0]["transfer"] == ISOCHRONOUS and q["sub"][0]["endpoint"] == 0x83]
    assert len(iso_out) == len(iso_in) == 2, (len(iso_out), len(iso_in))
    for out_q, in_q, size in zip(iso_out, iso_in, (768, 300)):
        pattern = bytes(i % 256 for i in range(size))
        sub = out_q["sub"][0]
        assert sub["data"] == pattern and iso_bytes(sub) == pattern, sub["packets"]
        done = in_q["done"]
        assert iso_bytes(done) == pattern and done["errors"] == 0, done["packets"]
        assert all(status == 0 for _, _, status in done["packets"]), done["packets"]
        assert in_q["sub"][0]["data"] == b"" and out_q["done"]["data"] == b"", "isochronous data direction"
        assert out_q["done"]["start"] != 0 and in_q["done"]["start"] != 0, "no start frame"
    # "at 5": the driver asked for a start frame, which the stack kept.
    assert iso_out[1]["sub"][0]["start"] == iso_out[1]["done"]["start"] != 0, iso_out[1]

    # Vendor requests: the block stored with 0C comes back with 0C, the version word is 00 01.
    vendor = [q for q in order if q["sub"][0]["function"] == VENDOR_DEVICE]
    stored = next(q for q in vendor if q["sub"][0]["data"][:2] == b"\x40\x0c")
    fetched = next(q for q in vendor if q["sub"][0]["data"][:2] == b"\xc0\x0c")
    assert stored["sub"][1]["data"].endswith(b"\x11\x22\x33\x44"), stored["sub"]
    assert fetched["done"]["data"] == stored["sub"][1]["data"], fetched["done"]
    version = next(q for q in vendor if q["sub"][0]["data"][:2] == b"\xc0\x01")
    assert version["done"]["data"] == b"\x00\x01", version["done"]

    tshark = shutil.which("tshark")
    if tshark is None:
        print("read_pcap: tshark is not installed; its check is skipped")
        return
    t = subprocess.run([tshark, "-r", pcap, "-T", "fields", "-e", "usb.irp_id", "-e", "_ws.malformed",
                        "-e", "_ws.expert.severity"], capture_output=True, text=True, timeout=600)
    assert t.returncode == 0, t.stderr
    lines = t.stdout.splitlines()
    assert len(lines) == len(recs), (len(lines), len(recs))
    bad = [line for line in lines if line.split("\t")[1:] != ["", ""]]
    assert not bad, bad[:5]
    assert [int(line.split("\t")[0], 16) for line in lines] == [r["irp"] for r in recs]


def check_failed_start(kwsim, workdir, device):
    pcap = os.path.join(workdir, "kwsim-failed-start.pcap")
    p = subprocess.run([kwsim, "--device", device, "--pcap", pcap], capture_output=True, text=True, timeout=600)
    assert p.returncode == 1, (p.returncode, p.stderr[-2000:])
    reqs = requests(records(pcap))
    last = reqs[max(reqs)]
    assert last["sub"][0]["function"] == GET_DESCRIPTOR and last["sub"][0]["data"][:4] == bytes.fromhex("80060002")
    assert last["done"]["status"] == 0xC0000004 and last["done"]["data"] == b"", last["done"]


if __name__ == "__main__":
    check(sys.argv[1], sys.argv[2])
    if len(sys.argv) > 3:
        check_failed_start(sys.argv[1], sys.argv[2], sys.argv[3])
    print("read_pcap: ok")
