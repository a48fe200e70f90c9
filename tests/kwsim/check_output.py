#!/usr/bin/env python3
"""Runs kwsim and checks what a program reads from its output.

check_output.py KWSIM tour       the built-in tour with --json --trace: typed fields
check_output.py KWSIM failed DEV a description whose start fails: the failing request is named
check_output.py KWSIM device DEV the tour of a description: exit 0, every step as expected
check_output.py KWSIM files JSON DESCRIPTORS HEX
                                 the same device from its JSON description, its sysfs
                                 descriptors file and a hex dump of it; cut files are refused
"""
import os
import tempfile
import json
import subprocess
import sys


def run(args):
    p = subprocess.run(args, capture_output=True, text=True, timeout=600)
    return p.returncode, p.stdout, p.stderr


def steps(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def check_tour(kwsim):
    rc, out, err = run([kwsim, "--json", "--trace"])
    assert rc == 0, (rc, err)
    s = steps(out)
    pipes = next(x for x in s if x["step"] == "pipe table")["pipes"]
    got = [(p["endpointAddress"], p["type"], p["maxPacketSize"]) for p in pipes]
    # bulk 0x01/0x81, interrupt 0x82, isochronous 0x03/0x83 of the test firmware
    assert [g[0] for g in got] == [0x01, 0x81, 0x82, 0x03, 0x83], got
    assert [g[1] for g in got] == [2, 2, 3, 1, 1], got
    assert all(isinstance(g[2], int) and g[2] > 0 for g in got), got
    assert all(isinstance(p["interval"], int) for p in pipes), pipes
    device = next(x for x in s if x["step"] == "device descriptor")["deviceDescriptor"]
    assert device["idVendor"] == 0x1209 and device["idProduct"] == 0x0001, device
    descs = next(x for x in s if x["step"] == "configuration descriptor set")["descriptors"]
    endpoints = [d["endpointAddress"] for d in descs if d["type"] == 5]
    assert set(endpoints) >= {0x01, 0x81, 0x82, 0x03, 0x83}, endpoints
    assert descs[0]["type"] == 2 and descs[0]["totalLength"] > 9, descs[0]
    read = next(x for x in s if x["step"] == "read in")
    assert read["information"] == 200 and read["statusValue"] == 0 and read["ok"], read
    assert read["bytes"] == [i % 256 for i in range(200)], read["bytes"][:8]
    requests = [x for x in s if x["step"] == "request" and "urbFunction" in x]
    bulk = [r for r in requests if r["urbFunction"] == 0x09 and r.get("endpoint") == 0x81]
    assert bulk and bulk[0]["transferred"] == 200 and bulk[0]["usbdStatus"] == 0, bulk
    # the read left pending at the unplug is shown when it ends, with the status it ended with
    unplugged = [r for r in requests if r["statusValue"] == 0xC000009D and r.get("endpoint") == 0x81]
    assert len(unplugged) == 1 and unplugged[0]["length"] == 64, unplugged


def check_failed(kwsim, device):
    rc, out, err = run([kwsim, "--json", "--device", device])
    assert rc == 1, (rc, err)
    s = steps(out)
    failed = [x for x in s if x.get("failedRequest")]
    assert len(failed) == 1, failed
    f = failed[0]
    assert f["urbFunctionName"] == "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", f
    assert f["descriptorType"] == 2 and f["usbdStatusName"] == "USBD_STATUS_STALL_PID", f
    assert f["statusValue"] != 0 and not f["ok"], f
    rc, text, _ = run([kwsim, "--device", device])
    assert "!! > URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE (descriptorType 0x02" in text, text


def check_device(kwsim, device):
    rc, out, err = run([kwsim, "--json", "--device", device])
    assert rc == 0, (rc, out[-2000:], err)
    s = steps(out)
    bad = [x for x in s if not x["ok"]]
    assert not bad, bad
    # a request the device left unanswered ends cancelled, after the tour's limit
    for x in s:
        if "cancelledAfterFrames" in x:
            assert x["statusValue"] == 0xC0000120 and x["cancelledAfterFrames"] == 50, x
    assert s[-1]["step"] == "verifier", s[-1]


def check_files(kwsim, json_file, binary, hexdump):
    seen = []
    for device in (json_file, binary, hexdump):
        rc, out, err = run([kwsim, "--json", "--device", device])
        assert rc == 0, (device, rc, err)
        s = steps(out)
        add = next(x for x in s if x["step"] == "AddDevice")
        dev = next(x for x in s if x["step"] == "device descriptor")["deviceDescriptor"]
        ids = "VID_%04X&PID_%04X" % (dev["idVendor"], dev["idProduct"])
        assert add["instance"].startswith("USB\\" + ids + "\\"), (add, ids)
        assert "#" + ids + "#" in add["interface"], (add, ids)
        descs = next(x for x in s if x["step"] == "configuration descriptor set")["descriptors"]
        seen.append((dev, descs))
    assert seen[0] == seen[1] == seen[2], seen
    data = open(binary, "rb").read()
    with tempfile.TemporaryDirectory() as tmp:
        for name, cut in (("short", data[:-1]), ("device-only", data[:18]), ("headless", data[18:])):
            path = os.path.join(tmp, name)
            open(path, "wb").write(cut)
            rc, _, err = run([kwsim, "--device", path])
            assert rc == 2 and path in err, (name, rc, err)


if __name__ == "__main__":
    kwsim, mode = sys.argv[1], sys.argv[2]
    {"tour": lambda: check_tour(kwsim),
     "failed": lambda: check_failed(kwsim, sys.argv[3]),
     "device": lambda: check_device(kwsim, sys.argv[3]),
     "files": lambda: check_files(kwsim, *sys.argv[3:6])}[mode]()
