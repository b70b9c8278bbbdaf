#!/usr/bin/env python3
"""The chaos run's driver (chaos_test.sh starts it in the sandbox).

From one seed: rounds of random operator edits through quyctl mixed with
faults (kill -9 of quayd or dockerd, a Redis restart, a power cut), each
round followed by a settle that waits, with a deadline, until the daemon
and the status are what the configuration asks for. The last line gives
the figures: seed, faults injected, settles checked, violations.
"""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

WORK, SOCK = os.environ["work"], os.environ["sock"]
QUAYD, QUYCTL = os.environ["quayd"], os.environ["quyctl"]
SECONDS = int(os.environ.get("CHAOS_SECONDS") or 300)
SETTLE_S = 180  # a power cut on flash: the image checked, every container run again
SLEEPER = "sh -c 'trap exit TERM; sleep 100000 & wait'"
NAMES = ["c1", "c2", "c3", "c4"]
TARBALLS = {"bb:1": f"{WORK}/bb1.tar", "bb:2": f"{WORK}/bb2.tar"}
KEY = "cell/0/quayd"


def log(text):
    print(f"[{time.monotonic() - T0:6.1f}s] {text}", flush=True)


def run(*args, check=True, timeout=60):
    r = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: {r.stderr.strip()}")
    return r


def docker(*args):
    r = run("docker", *args, check=False, timeout=30)
    return r.stdout if r.returncode == 0 else None


def redis(*args):
    """Its answer, "" while it does not answer."""
    r = run("redis-cli", "-s", SOCK, "--raw", *args, check=False, timeout=10)
    return r.stdout if r.returncode == 0 else ""


def q(*args):
    """An operator's edit; while Redis restarts it is tried again."""
    log("quyctl " + " ".join(args))
    end = time.monotonic() + 60
    while True:
        r = run(QUYCTL, "--redis", SOCK, *args, check=False)
        if r.returncode == 0:
            return
        if r.returncode != 1 or time.monotonic() > end:
            raise RuntimeError(f"quyctl {' '.join(args)}: {r.stderr.strip()}")
        time.sleep(0.2)


class Box:
    """Redis and quayd, and everything they start, in a PID namespace of
    their own: killing its init is a power cut. Its init brings Redis and
    quayd back when they die, as the switch's service manager does."""

    SCRIPT = r"""
    while :; do redis-server --port 0 --unixsocket "$1" --dir "$2" --appendonly yes \
      --appendfsync always --save "" >>"$2/redis.log" 2>&1; sleep 1; done &
    end=$((SECONDS + 30))
    until redis-cli -s "$1" ping >/dev/null 2>&1 || [ $SECONDS -ge $end ]; do sleep 0.1; done
    while :; do RINGLOGDIR=$2 "$3" --redis "$1" --log-file "$2/quayd.log" >>"$2/quayd.out" 2>&1
      sleep 1; done &
    wait"""

    def __init__(self):
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--mount-proc", "--", "bash", "-c",
             self.SCRIPT, "_", SOCK, WORK, QUAYD])
        wait_for("Redis in the box answers", lambda: redis("ping") == "PONG\n", 30)

    def processes(self, pid=None):
        """(pid, comm, parent) of every process of the box, as seen from out
        here; its init first."""
        pid = pid or self.proc.pid
        out = []
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                children = [int(c) for c in f.read().split()]
            for c in children:
                with open(f"/proc/{c}/comm") as f:
                    out.append((c, f.read().strip(), pid))
                out += self.processes(c)
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        return out

    def kill(self, comm, sig):
        """Kills what runs as `comm`, but not the daemon's supervisor (a
        fork of quayd that the box's init inherited), as a service manager
        that kills only the agent does."""
        procs = self.processes()
        init = procs[0][0] if procs else 0
        pids = [p for p, c, parent in procs if c == comm and (comm != "quayd" or parent != init)]
        for p in pids:
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass  # it ended between the listing and now
        return bool(pids)

    def power_off(self):
        if self.proc:
            init = [p for p, _, _ in self.processes()[:1]]
            for p in init:
                os.kill(p, signal.SIGKILL)
            self.proc.wait()
            self.proc = None
        for f in ("/run/quayd/docker/supervisor.pid", "/run/docker.pid"):
            if os.path.exists(f):
                os.remove(f)


def mounts_gone():
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    loops = run("losetup", "-j", "/mnt/flash/.quy/data-root.img", check=False).stdout
    return not loops.strip() and not any(
        p.startswith("/var/lib/docker/") or p.startswith("/mnt/flash/.quy/") for p in points)


def wait_for(what, cond, deadline):
    end = time.monotonic() + deadline
    while not cond():
        if time.monotonic() > end:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.2)


class Chaos:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.box = Box()
        self.faults = self.settles = 0
        self.violations = []  # repeated at the end, where a cut log still shows them
        self.quy = {"enabled": True, "flash": False}
        self.profiles = {"p1": 512, "p2": 256}
        self.loaded = set(TARBALLS)  # images whose tarball is configured
        self.containers = {}  # name -> configuration as the operator wrote it

    # The operator's edits.
    def edit_container(self):
        name = self.rng.choice(NAMES)
        c = self.containers.get(name)
        if c is None:
            c = {"image": "bb:1", "memory": "", "gen": 0, "restart": "no", "profile": "",
                 "enabled": True}
            args = ["--command", SLEEPER, "--network", "none"]
            self.containers[name] = c
        else:
            args = []
        for field in self.rng.sample(["image", "memory", "gen", "restart", "profile"],
                                     self.rng.randint(1, 3)):
            c[field] = self.rng.choice({
                "image": ["bb:1", "bb:2"], "memory": ["", "64m", "128m"],
                "gen": [0, 1, 2, 3], "restart": ["no", "always", "unless-stopped"],
                "profile": ["", "p1", "p2"]}[field])
        args += ["--image", c["image"], "--memory", c["memory"], "--restart", c["restart"],
                 "--options", f"--env GEN={c['gen']}", "--profile", c["profile"]]
        if self.rng.random() < 0.3:
            c["enabled"] = not c["enabled"]
            args.append("--enable" if c["enabled"] else "--disable")
        q("container", name, *args)

    def toggle_container(self):
        name = self.rng.choice(NAMES)
        c = self.containers.get(name)
        if c is None:
            return self.edit_container()
        if self.rng.random() < 0.25:
            del self.containers[name]
            return q("container", name, "--delete")
        c["enabled"] = not c["enabled"]
        q("container", name, "--enable" if c["enabled"] else "--disable")

    def edit_profile(self):
        name = self.rng.choice(list(self.profiles))
        self.profiles[name] = self.rng.choice([256, 512, 1024])
        q("profile", name, "--cpu-shares", str(self.profiles[name]))

    def toggle_image(self):
        if "bb:2" in self.loaded:
            self.loaded.discard("bb:2")
            q("image", "load", TARBALLS["bb:2"], "--delete")
        else:
            self.loaded.add("bb:2")
            q("image", "load", TARBALLS["bb:2"])

    def toggle_quy(self):
        if self.quy["enabled"]:
            self.quy["enabled"] = False
            return q("daemon", "disable")
        self.quy["enabled"] = True
        self.enable_quy()

    def switch_flash(self):
        self.quy = {"enabled": True, "flash": not self.quy["flash"]}
        self.enable_quy()

    def enable_quy(self):
        q("daemon", "enable", *(["--on-flash", "--flash-limit", "512M"]
                                if self.quy["flash"] else []))

    # The faults.
    def fault(self, what, act):
        log(what)
        self.faults += 1
        act()

    def kill_quayd(self):
        self.fault("kill -9 quayd", lambda: self.box.kill("quayd", signal.SIGKILL))

    def kill_dockerd(self):
        self.fault("kill -9 dockerd", lambda: self.box.kill("dockerd", signal.SIGKILL))

    def restart_redis(self):
        self.fault("Redis restarted", lambda: self.box.kill("redis-server", signal.SIGTERM))

    def power_cut(self):
        def cut():
            self.box.power_off()
            # The kernel lets the loop device go a while after the box.
            wait_for("every mount of the box gone", mounts_gone, SETTLE_S)
            run("umount", "-l", "/run")
            run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run")
            os.makedirs("/run/netns", exist_ok=True)
            self.box.start()
        self.fault("power cut", cut)

    STEPS = [(edit_container, 6), (toggle_container, 3), (edit_profile, 2), (toggle_image, 1),
             (toggle_quy, 1), (switch_flash, 1), (kill_quayd, 2), (kill_dockerd, 1),
             (restart_redis, 1), (power_cut, 1)]

    def step(self):
        steps, weights = zip(*self.STEPS)
        if not self.quy["enabled"] and self.rng.random() < 0.5:
            return self.toggle_quy()  # the runtime is not left down for long
        self.rng.choices(steps, weights)[0](self)

    # What must hold at rest.
    def problems(self):
        out = []
        def status(key, field):
            return redis("hget", f"{KEY}/{key}", field).strip()

        want = "started_" if self.quy["enabled"] else "stopped_"
        for key in ("status", "image/status", "container/status"):
            if status(key, "state") != want:
                out.append(f"{key} state {status(key, 'state')!r}, not {want}")
        if not self.quy["enabled"]:
            if docker("info") is not None:
                out.append("the daemon runs while the sub-agent is disabled")
            return out
        if (status("status", "runningOnFlash") or "false") != str(self.quy["flash"]).lower():
            out.append("runningOnFlash is not " + str(self.quy["flash"]).lower())
        ids = docker("ps", "-aq", "--no-trunc")
        if ids is None:
            return out + ["the daemon does not answer"]
        held = json.loads(docker("inspect", *ids.split()) or "[]") if ids.split() else []
        names = [h["Name"].lstrip("/") for h in held]
        present = {i for i in TARBALLS if docker("image", "inspect", i) is not None}
        for image in self.loaded - present:
            out.append(f"{image} not in the daemon though its tarball is configured")
        for image in self.loaded:
            tags = status(f"image/status|{TARBALLS[image]}", "tag")
            if image not in tags:
                out.append(f"the image status of {TARBALLS[image]} has tags {tags!r}")
        for h, name in zip(held, names):
            c = self.containers.get(name)
            if names.count(name) > 1 or c is None:
                out.append(f"{name} held by the daemon, twice or not configured")
            elif h["State"]["Running"] and not c["enabled"]:
                out.append(f"{name} runs though disabled")
        for name, c in self.containers.items():
            st = redis("hgetall", f"{KEY}/container/status|{name}")
            fields = dict(zip(st.splitlines()[::2], st.splitlines()[1::2]))
            if not c["enabled"]:
                if fields.get("state") == "containerRunning_":
                    out.append(f"the status of disabled {name} says it runs")
                continue
            if c["image"] not in present:
                continue  # it cannot run
            h = next((h for h, n in zip(held, names) if n == name), None)
            if h is None or not h["State"]["Running"]:
                out.append(f"{name} does not run")
                continue
            cpu = self.profiles.get(c["profile"], 0)
            mem = {"": 0, "64m": 64 << 20, "128m": 128 << 20}[c["memory"]]
            got = (h["Config"]["Image"], h["HostConfig"]["Memory"], h["HostConfig"]["CpuShares"],
                   h["HostConfig"]["RestartPolicy"]["Name"] or "no",
                   f"GEN={c['gen']}" in (h["Config"]["Env"] or []))
            if got != (c["image"], mem, cpu, c["restart"], True):
                out.append(f"{name} runs with {got}, configured {c} (cpu shares {cpu})")
            if (fields.get("state"), fields.get("daemonState"), fields.get("imageId")) != (
                    "containerRunning_", "running", h["Image"]):
                out.append(f"the status of {name} says {fields.get('state')}, "
                           f"{fields.get('daemonState')}, {fields.get('imageId')}")
        return out

    def settle(self):
        self.settles += 1
        # A container edited at each settle: once it runs as edited, the
        # status is the agent's of now, not one a killed agent left.
        self.containers["mark"] = {"image": "bb:1", "memory": "", "gen": self.settles,
                                   "restart": "no", "profile": "", "enabled": True}
        q("container", "mark", "--image", "bb:1", "--command", SLEEPER, "--network", "none",
          "--options", f"--env GEN={self.settles}")
        end = time.monotonic() + SETTLE_S
        while True:
            found = self.problems()
            if not found:
                return log(f"settled ({self.settles})")
            if time.monotonic() > end:
                for p in found:
                    self.violation(p)
                return
            time.sleep(0.5)

    def setup(self):
        os.makedirs(f"{WORK}/rootfs/bin")
        shutil.copy("/bin/busybox", f"{WORK}/rootfs/bin/")
        for c in ("sh", "sleep"):
            os.symlink("busybox", f"{WORK}/rootfs/bin/{c}")
        self.box.start()
        q("daemon", "enable")
        wait_for("the runtime", lambda: redis("hget", f"{KEY}/status", "state") == "started_\n",
                 90)
        for gen, (image, path) in enumerate(TARBALLS.items()):
            with open(f"{WORK}/rootfs/gen", "w") as f:
                f.write(f"{gen}\n")
            tar = subprocess.Popen(["tar", "-C", f"{WORK}/rootfs", "-c", "."],
                                   stdout=subprocess.PIPE)
            run_in = subprocess.run(["docker", "import", "-", image], stdin=tar.stdout,
                                    capture_output=True)
            tar.wait()
            assert run_in.returncode == 0, run_in.stderr
            run("docker", "save", "-o", path, image)
            run("docker", "rmi", image)
            q("image", "load", path)
        for name, cpu in self.profiles.items():
            q("profile", name, "--cpu-shares", str(cpu))

    def run(self, seed):
        try:
            self.setup()
            self.settle()
            end = time.monotonic() + SECONDS
            while not self.violations and time.monotonic() < end:
                for _ in range(self.rng.randint(1, 3)):
                    self.step()
                self.settle()
        except (RuntimeError, subprocess.TimeoutExpired) as e:
            self.violation(str(e))
        if self.violations:
            self.diagnose()
        self.box.power_off()
        for v in self.violations:
            print("VIOLATION: " + v)
        print(f"chaos: seed {seed}, {self.faults} faults injected, {self.settles} settles "
              f"checked, {len(self.violations)} violations", flush=True)
        return len(self.violations)

    def violation(self, what):
        log("VIOLATION: " + what)
        self.violations.append(f"[{time.monotonic() - T0:6.1f}s] {what}")

    def diagnose(self):
        print("--- kept " + WORK)
        print("--- configuration as written:", json.dumps(
            {"quy": self.quy, "profiles": self.profiles, "tarballs": sorted(self.loaded),
             "containers": self.containers}))
        print("--- daemon\n" + (docker("ps", "-a") or "not answering"))
        for key in redis("--scan", "--pattern", f"{KEY}/*status*").split():
            print(key, " ".join(redis("hgetall", key).split("\n")[:40]))
        for pid, comm, _ in self.box.processes() if self.box.proc else []:
            with open(f"/proc/{pid}/stat") as f:
                print(f"--- box: {pid} {comm} state {f.read().split(') ')[1][:1]}")
        if os.path.exists("/run/quayd/docker/dockerd.log"):
            with open("/run/quayd/docker/dockerd.log", errors="replace") as f:
                print("--- dockerd.log\n" + "".join(f.readlines()[-30:]))
        with open(f"{WORK}/quayd.out", errors="replace") as f:
            print("--- quayd output\n" + "".join(f.readlines()[-40:]))
        rlogs = [f"{WORK}/{f}" for f in os.listdir(WORK) if f.endswith(".rlog")]
        trace = run(QUAYD, "--dump-trace", *rlogs, check=False).stdout.splitlines()
        print("--- trace\n" + "\n".join(trace[-80:]), flush=True)


T0 = time.monotonic()
if __name__ == "__main__":
    seed = os.environ.get("CHAOS_SEED") or "1"
    seed = random.SystemRandom().randrange(1, 1 << 31) if seed == "random" else int(seed)
    print(f"chaos: seed {seed}; replay with CHAOS_SEED={seed}", flush=True)
    chaos = Chaos(seed)
    try:
        sys.exit(1 if chaos.run(seed) else 0)
    finally:
        chaos.box.power_off()
