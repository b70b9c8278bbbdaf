#!/usr/bin/python3
"""A gNOI Containerz client for the tests, on stubs generated from the
project's .proto files into $CONTAINERZ_PY (containerz_grpc_test.sh does).

  containerz_client.py [--target unix:PATH | H:P --ca F --cert F --key F] [--timeout S] COMMAND ...

Without TLS the service is reached on its unix socket only (the default
target); over TCP it takes mutual TLS.

Prints what the server answered, one item a line; a refused call prints
"error CODE: message" and exits 3.
"""
import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.environ["CONTAINERZ_PY"])
import grpc  # noqa: E402
from gnoi.containerz import containerz_pb2 as pb  # noqa: E402
from gnoi.containerz import containerz_pb2_grpc as pbg  # noqa: E402

TIMEOUT_S = 60


def stub(a):
    """The one way every command connects: the unix socket, or TCP with
    TLS when a CA is given (the client's certificate with it)."""
    if a.ca:
        read = lambda p: open(p, "rb").read() if p else None
        creds = grpc.ssl_channel_credentials(read(a.ca), read(a.key), read(a.cert))
        channel = grpc.secure_channel(a.target, creds)
    else:
        channel = grpc.insecure_channel(a.target)
    s = pbg.ContainerzStub(channel)
    s.channel = channel
    return s


def start_request(a):
    r = pb.StartContainerRequest(image_name=a.image, tag=a.tag, cmd=a.cmd or "",
                                 instance_name=a.name or "")
    for p in a.port or []:
        internal, external = p.split(":")
        r.ports.add(internal=int(internal), external=int(external))
    for e in a.env or []:
        k, v = e.split("=", 1)
        r.environment[k] = v
    for v in a.volume or []:
        name, mount = v.split(":")
        r.volumes.add(name=name, mount_point=mount)
    for d in a.device or []:
        r.devices.add(src_path=d, dst_path=d, permissions=[pb.Device.READ])
    r.cap.add.extend(a.cap or [])
    return r


def deploy(s, a):
    size = os.path.getsize(a.file)
    announced = a.announce if a.announce is not None else size

    def requests(state):
        yield pb.DeployRequest(image_transfer=pb.ImageTransfer(
            name=a.name, tag=a.tag, image_size=announced))
        # Content only once the server said it is ready, in its chunk size.
        while state.get("chunk") is None:
            if state.get("done"):
                return
            time.sleep(0.01)
        if a.broken:
            # Content announced longer than what follows: no DeployRequest.
            yield b"\x12\x05ab"
            return
        with open(a.file, "rb") as f:
            while True:
                b = f.read(state["chunk"])
                if not b:
                    break
                yield pb.DeployRequest(content=b)
        yield pb.DeployRequest(image_transfer_end=pb.ImageTransferEnd())

    call = s.Deploy
    if a.broken:
        call = s.channel.stream_stream(
            "/gnoi.containerz.Containerz/Deploy",
            request_serializer=lambda m: m if isinstance(m, bytes) else m.SerializeToString(),
            response_deserializer=pb.DeployResponse.FromString)
    state = {}
    try:
        for resp in call(requests(state), timeout=TIMEOUT_S * 5):
            kind = resp.WhichOneof("response")
            if kind == "image_transfer_ready":
                print("ready", resp.image_transfer_ready.chunk_size, flush=True)
                state["chunk"] = resp.image_transfer_ready.chunk_size
            elif kind == "image_transfer_progress":
                print("progress", resp.image_transfer_progress.bytes_received, flush=True)
            elif kind == "image_transfer_success":
                t = resp.image_transfer_success
                print("success", t.name, t.tag, t.image_size, flush=True)
            else:
                e = resp.image_transfer_error
                print("transfer-error", grpc.StatusCode(next(
                    c for c in grpc.StatusCode if c.value[0] == e.code)).name, e.message,
                    flush=True)
    finally:
        state["done"] = True


def logs(s, a):
    """Without --until, the lines there are; with it, follows until a line
    matches (the pattern's {n} is the last tick number seen before)."""
    if not a.until:
        for r in s.Log(pb.LogRequest(instance_name=a.name), timeout=TIMEOUT_S):
            print(r.msg)
        return
    last = 0
    for r in s.Log(pb.LogRequest(instance_name=a.name), timeout=TIMEOUT_S):
        m = re.match(r"tick (\d+)", r.msg)
        last = int(m.group(1)) if m else last
    want = re.compile(a.until.replace("{n}", str(last + 2)))
    stream = s.Log(pb.LogRequest(instance_name=a.name, follow=True), timeout=TIMEOUT_S)
    for r in stream:
        if want.fullmatch(r.msg):
            print(r.msg)
            stream.cancel()
            return
    sys.exit("the followed log ended without " + want.pattern)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--target", default="unix:/run/quayd/containerz.sock")
    p.add_argument("--ca")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--timeout", type=float, help="each call's deadline, in seconds")
    sub = p.add_subparsers(dest="cmd_name", required=True)
    d = sub.add_parser("deploy")
    d.add_argument("name")
    d.add_argument("tag")
    d.add_argument("file")
    d.add_argument("--announce", type=int)
    d.add_argument("--broken", action="store_true",
                   help="after the ready, a message that is no DeployRequest")
    sub.add_parser("list-images")
    for name in ("start", "update"):
        st = sub.add_parser(name)
        st.add_argument("name")
        st.add_argument("image")
        st.add_argument("tag")
        st.add_argument("--cmd")
        st.add_argument("--port", action="append")
        st.add_argument("--env", action="append")
        st.add_argument("--volume", action="append")
        st.add_argument("--device", action="append")
        st.add_argument("--cap", action="append")
        st.add_argument("--async", dest="is_async", action="store_true")
    lg = sub.add_parser("logs")
    lg.add_argument("name")
    lg.add_argument("--until")
    lc = sub.add_parser("list-containers")
    lc.add_argument("--all", action="store_true")
    lc.add_argument("--labels", action="store_true", help="and a line for each label")
    for name in ("stop", "remove-container"):
        sub.add_parser(name).add_argument("name")
    ri = sub.add_parser("remove-image")
    ri.add_argument("name")
    ri.add_argument("tag")
    ri.add_argument("--force", action="store_true")
    cv = sub.add_parser("create-volume")
    cv.add_argument("name")
    cv.add_argument("--mountpoint", help="a host directory bound as the volume")
    sub.add_parser("remove-volume").add_argument("name")
    sub.add_parser("list-volumes")
    sub.add_parser("list-plugins")
    a = p.parse_args()
    global TIMEOUT_S
    TIMEOUT_S = a.timeout or TIMEOUT_S
    s = stub(a)
    try:
        c = a.cmd_name
        if c == "deploy":
            deploy(s, a)
        elif c == "list-images":
            for r in s.ListImage(pb.ListImageRequest(), timeout=TIMEOUT_S):
                print(f"{r.image_name}:{r.tag} {r.id}")
        elif c == "start":
            r = s.StartContainer(start_request(a), timeout=TIMEOUT_S)
            print(r.start_ok.instance_name)
        elif c == "update":
            params = start_request(a)
            r = s.UpdateContainer(pb.UpdateContainerRequest(
                instance_name=a.name, image_name=a.image, image_tag=a.tag, params=params,
                **{"async": a.is_async}), timeout=TIMEOUT_S)
            print(r.update_ok.instance_name, "async" if r.update_ok.is_async else "sync")
        elif c == "logs":
            logs(s, a)
        elif c == "list-containers":
            for r in s.ListContainer(pb.ListContainerRequest(all=a.all), timeout=TIMEOUT_S):
                status = pb.ListContainerResponse.Status.Name(r.status)
                print(r.name, r.image_name, status)
                for k, v in sorted(r.labels.items()) if a.labels else ():
                    print(f"  {k}={v}")
        elif c == "stop":
            s.StopContainer(pb.StopContainerRequest(instance_name=a.name), timeout=TIMEOUT_S)
        elif c == "remove-container":
            s.RemoveContainer(pb.RemoveContainerRequest(name=a.name), timeout=TIMEOUT_S)
        elif c == "remove-image":
            s.RemoveImage(pb.RemoveImageRequest(name=a.name, tag=a.tag, force=a.force),
                          timeout=TIMEOUT_S)
        elif c == "create-volume":
            r = pb.CreateVolumeRequest(name=a.name)
            if a.mountpoint:
                r.local_mount_options.mountpoint = a.mountpoint
            print(s.CreateVolume(r, timeout=TIMEOUT_S).name)
        elif c == "remove-volume":
            s.RemoveVolume(pb.RemoveVolumeRequest(name=a.name), timeout=TIMEOUT_S)
        elif c == "list-volumes":
            for r in s.ListVolume(pb.ListVolumeRequest(), timeout=TIMEOUT_S):
                print(r.name, r.driver, r.created.seconds)
        elif c == "list-plugins":
            s.ListPlugins(pb.ListPluginsRequest(), timeout=TIMEOUT_S)
    except grpc.RpcError as e:
        print(f"error {e.code().name}: {e.details()}", flush=True)
        sys.exit(3)


if __name__ == "__main__":
    main()
