#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Gateways on a mosquitto broker of their own on 127.0.0.1, fed one press through their FIFOs
at the offsets of each row, five times (ten for the burst): how many shared events each row
gives. `skew` puts a gateway's wall clock seconds or minutes off (bench/skewed-clock.c, built
here with cc); `soak` runs two gateways 0 to 30 ms apart for 15 minutes. `outage` stops the
broker for 10 s and times the gateway's return; `rename` renames a node, moves its discovery
prefix, and retires it, counting what the broker keeps after each. `hub` plays Home Assistant
to a gateway with `remote hall = 5/1,3`: a press of the undeclared button 2, learnt, then the
hub deleting remote 5 and coming back, then a press held past long_press_ms.
usage: bench/gateway-rows.py BUILD [rows] [skew] [soak] [outage] [rename] [hub]"""
import json, os, random, socket, subprocess, sys, tempfile, threading, time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
GW = os.path.join(BUILD, "teruna-mqtt")
TERUNA = os.path.join(BUILD, "teruna")
SKEW = os.path.join(tempfile.mkdtemp(prefix="teruna-skew-"), "skewed-clock.so")
subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", SKEW,
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "skewed-clock.c"), "-ldl"], check=True)

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p

class Setup:
    def __init__(self, nodes, skews=None, gone=0):
        self.dir = tempfile.mkdtemp(prefix="rows-")
        self.port = free_port()
        open(f"{self.dir}/b.conf", "w").write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        self.broker = subprocess.Popen(["mosquitto", "-c", f"{self.dir}/b.conf"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        self.log = open(f"{self.dir}/all.log", "w")
        self.sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-v", "-t", "#", "-F", "%U %t %p"], stdout=self.log)
        time.sleep(0.2)
        for g in range(gone):  # records of gateways that no longer run, first by name
            rec = json.dumps({"declared": [], "heard": [[6400, 3]], "status": f"teruna/aa{g:02d}/status"})
            subprocess.run(["mosquitto_pub", "-p", str(self.port), "-r", "-t", f"teruna/gateway/aa{g:02d}", "-m", rec])
            subprocess.run(["mosquitto_pub", "-p", str(self.port), "-r", "-t", f"teruna/aa{g:02d}/status", "-m", "offline"])
        self.gws = []
        self.fifos = []
        for i, node in enumerate(nodes):
            home = f"{self.dir}/{node}"; os.mkdir(home); os.mkfifo(f"{home}/fifo")
            open(f"{home}/c", "w").write(f"broker = mqtt://127.0.0.1:{self.port}\nnode = {node}\nreceive_from = {home}/fifo\ndiscover_heard = yes\n")
            env = dict(os.environ, TERUNA_SIM_LOG=f"{home}/sent.log")
            if skews and skews[i]:
                env["LD_PRELOAD"] = SKEW; env["SKEW_MS"] = str(skews[i])
            self.gws.append(subprocess.Popen([GW, "-c", f"{home}/c"], env=env, stderr=open(f"{home}/err", "w")))
            self.fifos.append(f"{home}/fifo")
        deadline = time.time() + 10
        while time.time() < deadline and sum(1 for n in nodes if f"teruna/{n}/status online" in open(f"{self.dir}/all.log").read()) < len(nodes):
            time.sleep(0.05)
        time.sleep(1.0)
        vcd = f"{self.dir}/press.vcd"
        subprocess.run([TERUNA, "-g", "6400", "-n", "3"], env=dict(os.environ, TERUNA_SIM_VCD=vcd, TERUNA_SIM_CLOCK="virtual"), check=True, stdout=subprocess.DEVNULL)
        self.dump = open(vcd).read()

    def press(self, offsets_ms):
        """offsets: per gateway ms after the first, or None for not heard"""
        def write(i, off):
            time.sleep(off / 1000)
            with open(self.fifos[i], "w") as f: f.write(self.dump)
        ts = [threading.Thread(target=write, args=(i, o)) for i, o in enumerate(offsets_ms) if o is not None]
        for t in ts: t.start()
        for t in ts: t.join()

    def count(self, topic):
        return sum(1 for l in open(f"{self.dir}/all.log") if l.split(" ")[1] == topic)

    def close(self):
        for g in self.gws: g.terminate()
        for g in self.gws: g.wait()
        time.sleep(0.3)
        self.sub.terminate(); self.broker.terminate(); self.sub.wait(); self.broker.wait()

def row(name, nodes, offsets, presses=5, gap=1.5, skews=None, gone=0, load=False):
    s = Setup(nodes, skews, gone)
    burners = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(4)] if load else []
    for p in range(presses):
        s.press(offsets)
        time.sleep(gap)
    time.sleep(1)
    for b in burners: b.kill()
    ev = s.count("teruna/remote/6400/event"); bt = s.count("teruna/remote/6400/button/3")
    rec = sum(s.count(f"teruna/{n}/received") for n in nodes)
    s.close()
    print(f"{name}: {ev}/{presses} events, {bt}/{presses} button presses, {rec} received", flush=True)
    return s

def outage(rounds=3):
    for _ in range(rounds):
        s = Setup(["outage"])
        s.broker.terminate(); s.broker.wait()
        time.sleep(10)
        s.broker = subprocess.Popen(["mosquitto", "-c", f"{s.dir}/b.conf"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        began = time.time()
        err = f"{s.dir}/outage/err"
        while open(err).read().count("connected to the broker") < 2 and time.time() - began < 30:
            time.sleep(0.005)
        print(f"outage of 10 s: online again {time.time() - began:.2f} s after the broker's start; "
              f"said: {open(err).read().count('connected to the broker')} times connected", flush=True)
        s.close()

def rename():
    s = Setup([])
    conf = f"{s.dir}/g.conf"
    def write(node, extra=""):
        open(conf, "w").write(f"broker = mqtt://127.0.0.1:{s.port}\nnode = {node}\nbutton lamp = 1/1\n"
                              f"remote hall = 5/1,3\n{extra}")
    def kept(pattern):
        out = subprocess.run(["mosquitto_sub", "-p", str(s.port), "-t", "#", "--retained-only", "-W", "1", "-v"],
                             capture_output=True, text=True).stdout
        return [l.split(" ")[0] for l in out.splitlines() if " " in l and l.split(" ", 1)[1] and pattern(l.split(" ")[0])]
    of = lambda node: lambda topic: f"/{node}/" in topic + "/"
    write("d")
    gw = subprocess.Popen([GW, "-c", conf], env=dict(os.environ, TERUNA_SIM_CLOCK="virtual"),
                          stderr=open(f"{s.dir}/err", "w"))
    time.sleep(1.5)
    print(f"node d: {len(kept(of('d')))} retained topics of d", flush=True)
    write("e"); gw.send_signal(1); time.sleep(1.5)
    print(f"renamed d -> e: {len(kept(of('d')))} of d left, {len(kept(of('e')))} of e", flush=True)
    write("e", "discovery_prefix = other\n"); gw.send_signal(1); time.sleep(1.5)
    print(f"prefix -> other: {len(kept(lambda t: t.startswith('homeassistant/')))} left under homeassistant/, "
          f"{len(kept(lambda t: t.startswith('other/')))} under other/", flush=True)
    write("e", "discovery_prefix = none\n"); gw.send_signal(1); time.sleep(1.5)
    print(f"prefix -> none: {len(kept(lambda t: t.startswith('other/')))} left under other/", flush=True)
    gw.terminate(); gw.wait()
    retired = subprocess.run([GW, "-c", conf, "--retire"], capture_output=True, text=True)
    print(f"--retire: status {retired.returncode}, {retired.stdout.count('cleared ')} cleared; "
          f"{len(kept(lambda t: True))} retained topics left in all", flush=True)
    print(open(f"{s.dir}/err").read(), end="")
    s.close()

def hub():
    s = Setup([])
    home = f"{s.dir}/g"; os.mkdir(home); os.mkfifo(f"{home}/fifo")
    conf = f"{home}/c"
    def write(extra=""):
        open(conf, "w").write(f"broker = mqtt://127.0.0.1:{s.port}\nnode = g\nreceive_from = {home}/fifo\n"
                              f"remote hall = 5/1,3\n{extra}")
    def press(button):
        vcd = f"{s.dir}/p{button}.vcd"
        subprocess.run([TERUNA, "-g", "5", "-n", str(button)], env=dict(os.environ, TERUNA_SIM_VCD=vcd,
                       TERUNA_SIM_CLOCK="virtual"), check=True, stdout=subprocess.DEVNULL)
        with open(f"{home}/fifo", "w") as f: f.write(open(vcd).read())
        time.sleep(1.0)
    def log():
        return [l.split(" ", 2) + [""] * (3 - len(l.split(" ", 2))) for l in open(f"{s.dir}/all.log").read().splitlines()]
    def dropped():  # events whose type the event entity, as last announced before them, lacks
        types, bad, n = [], 0, 0
        for _, topic, payload in log():
            if topic == "homeassistant/event/teruna_remote_5/press/config":
                types = json.loads(payload)["event_types"] if payload else []
            elif topic == "teruna/remote/5/event":
                n += 1; bad += json.loads(payload)["event_type"] not in types
        return n, bad
    pub = lambda topic, payload, *r: subprocess.run(["mosquitto_pub", "-p", str(s.port), *r, "-t", topic, "-m", payload])
    write("discover_heard = yes\n")
    gw = subprocess.Popen([GW, "-c", conf], env=dict(os.environ, TERUNA_SIM_CLOCK="virtual"), stderr=open(f"{home}/err", "w"))
    time.sleep(1.5)
    press(2)
    n, bad = dropped()
    config = [p for _, t, p in log() if t == "homeassistant/event/teruna_remote_5/press/config"][-1]
    print(f"press of 5/2, declared 5/1,3, discover_heard = yes: {n} events, {bad} the hub would drop; "
          f"device {json.loads(config)['device']['name']!r}", flush=True)
    before = len(log())
    for topic in ["homeassistant/event/teruna_remote_5/press/config"] + \
                 [f"homeassistant/device_automation/teruna_remote_5/button_{b}{l}/config" for b in (1, 2, 3) for l in ("", "_long")]:
        pub(topic, "", "-r")
    time.sleep(0.5)
    pub("homeassistant/status", "online")
    time.sleep(3)
    again = [t for _, t, p in log()[before:] if p and t.startswith("homeassistant/device_automation/teruna_remote_5/button_2")]
    print(f"hub deletes remote 5 and restarts: {len(again)} configs of the learnt button 2 announced again", flush=True)
    write("long_press_ms = 800\n"); gw.send_signal(1); time.sleep(1.0)
    press(3)
    held = [p for _, t, p in log() if t == "teruna/remote/5/button/3"]
    events = [json.loads(p)["event_type"] for _, t, p in log() if t == "teruna/remote/5/event"]
    print(f"an 873-ms press with long_press_ms = 800: {held[-1:]} on teruna/remote/5/button/3, event {events[-1:]}; "
          f"events the hub would drop in all: {dropped()[1]}", flush=True)
    gw.terminate(); gw.wait()
    print(open(f"{home}/err").read(), end="")
    s.close()

def soak(minutes=15):
    random.seed(7)
    s = Setup(["a", "b"])
    end, n = time.time() + minutes * 60, 0
    while time.time() < end:
        s.press(random.choice([[0, 30], [30, 0], [0, 15], [15, 0], [0, 0]]))
        n += 1
        time.sleep(1.5)
    time.sleep(2)
    ev, bt = s.count("teruna/remote/6400/event"), s.count("teruna/remote/6400/button/3")
    ra, rb = s.count("teruna/a/received"), s.count("teruna/b/received")
    s.close()
    print(f"soak {minutes} min, two gateways 0-30 ms apart: {n} presses, {ev} events, {bt} button presses, "
          f"received by a {ra}, by b {rb}", flush=True)

if __name__ == "__main__":
    which = sys.argv[2:] or ["rows"]
    if "rows" in which:
        for o in (40, 42, 45):
            row(f"two, b {o} ms before a", ["a", "b"], [o, 0])
        row("three, c first, b +22 ms, a +45 ms", ["a", "b", "c"], [45, 22, 0])
        row("three, c, b, a 20 ms apart", ["a", "b", "c"], [40, 20, 0])
        row("three at once, machine busy", ["a", "b", "c"], [0, 0, 0], load=True)
        row("three at once + 20 gone records", ["a", "b", "c"], [0, 0, 0], gone=20)
        row("burst of 10, c first, a 45 ms later", ["a", "b", "c"], [45, None, 0], presses=10, gap=0.8)
        row("two, 250 ms apart", ["a", "b"], [250, 0])
    if "skew" in which:
        row("a's clock 3 s ahead, both hear", ["a", "b"], [0, 10], skews=[3000, 0])
        row("a's clock 3 s ahead, b alone", ["a", "b"], [None, 0], skews=[3000, 0])
        row("b's clock 3 min behind, both hear", ["a", "b"], [30, 0], skews=[0, -180000])
    if "soak" in which:
        soak()
    if "outage" in which:
        outage()
    if "rename" in which:
        rename()
    if "hub" in which:
        hub()
