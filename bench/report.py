"""Runs quorvel's benchmarks and prints their table (called by bench/run)."""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def record(kind, address, data):
    total = len(data) + (address >> 8) + (address & 0xFF) + kind + sum(data)
    body = "".join("%02X" % b for b in data)
    return ":%02X%04X%02X%s%02X\n" % (len(data), address, kind, body, (-total) & 0xFF)


def hex_image(size, record_size=16):
    """A HEX file whose data fills `size` bytes from address 0."""
    lines = []
    for address in range(0, size, record_size):
        count = min(record_size, size - address)
        lines.append(record(0, address, [(address + i) * 7 & 0xFF for i in range(count)]))
    return "".join(lines) + ":00000001FF\n"


def writers_left():
    """The process IDs of quorvel's writer processes that this process
    adopted (it is their subreaper: see main) once their run had ended."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            stat = open("/proc/%s/stat" % entry).read()
        except (OSError, ValueError):
            continue
        name = stat[stat.find("(") + 1:stat.rfind(")")]
        fields = stat[stat.rfind(")") + 2:].split()
        if name == "quorvel-writer" and int(fields[1]) == os.getpid():
            found.append(int(entry))
    return found


def run_timed(argv, work, usage=True):
    """Runs a command; returns wall seconds, CPU seconds, peak RSS in KiB (0
    without GNU time), the exit status and standard error. GNU time gives the
    peak RSS of the command alone (not of the forked Python before exec);
    wait4 gives the CPU time of it and its child to the microsecond. A
    quorvel run's writer process is not waited for by the run: it is adopted
    here and its CPU time counted with the run's."""
    usage_file = os.path.join(work, "usage.txt")
    prefix = (["/usr/bin/time", "-q", "-f", "%M", "-o", usage_file]
              if usage and os.path.exists("/usr/bin/time") else [])
    started = time.monotonic()
    child = subprocess.Popen(prefix + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = child.stderr.read().decode(errors="replace")
    _, status, rusage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    child.stderr.close()
    rss = int(open(usage_file).read().split()[-1]) if prefix else 0
    cpu = rusage.ru_utime + rusage.ru_stime
    for writer in writers_left():
        cpu += sum(os.wait4(writer, 0)[2][:2])
    return wall, cpu, rss, os.waitstatus_to_exitcode(status), err


def google_benchmark(build, name, quick):
    out = subprocess.run([os.path.join(build, "bench", name), "--benchmark_format=json",
                          "--benchmark_min_time=%s" % ("0.05" if quick else "1")],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)["benchmarks"]


def machine_bounds(build, quick):
    """How long a 10 ms pause lasts here, what one report costs the transport,
    and what the round trip through the simulated device alone costs."""
    results = {b["name"].split("/")[0]: b["real_time"] for b in google_benchmark(build, "transport_bench", quick)}
    # send_report is a play of 256 reports. Its writer process, adopted here
    # once the benchmark has ended, is waited for now, so that its CPU time
    # counts for no upload.
    for writer in writers_left():
        os.wait4(writer, 0)
    return results["pause_10ms"] / 1e6, results["send_report"] / 1e6 / 256, results["device_round_trip"] / 1e6


def reader_throughput(build, quick):
    rows = []
    for b in google_benchmark(build, "hex_reader_bench", quick):
        name = b["name"].replace("full_image/", "64 KiB, records of ").replace("example_firmware", "example firmware")
        rows.append(("HEX reader, %s: MB/s of text" % name, "%.0f" % (b["bytes_per_second"] / 1e6), "", ""))
        rows.append(("HEX reader, %s: ns per data byte" % name, "%.2f" % (b["per_data_byte"] * 1e9), "", ""))
    return rows


def peer_comparison(build, quick, work):
    """A file built a while ago (quorvel reads it in place), and one written
    just before each run (quorvel copies it first, so that a write while it
    reads cannot go unseen)."""
    path = os.path.join(work, "64k.hex")
    fresh = os.path.join(work, "64k-just-written.hex")
    for name in (path, fresh):
        with open(name, "w") as f:
            f.write(hex_image(0x10000))
    an_hour_ago = time.time() - 3600
    os.utime(path, (an_hour_ago, an_hour_ago))
    commands = {
        "quorvel -n": [os.path.join(build, "src", "quorvel"), "-n", "-mmcu=at90usb646", path],
        "quorvel -n -v": [os.path.join(build, "src", "quorvel"), "-n", "-v", "-mmcu=at90usb646", path],
        "quorvel -n, file just written": [os.path.join(build, "src", "quorvel"), "-n", "-mmcu=at90usb646", fresh],
        "avr-objcopy": ["avr-objcopy", "-I", "ihex", "-O", "binary", path, os.path.join(work, "out1.bin")],
        "srec_cat": ["srec_cat", path, "-intel", "-o", os.path.join(work, "out2.bin"), "-binary"],
    }
    available = {k: v for k, v in commands.items() if shutil.which(v[0])}
    times = {k: [] for k in available}
    for _ in range(3 if quick else 30):  # interleaved, so that drift hits all alike
        for name, argv in available.items():
            if fresh in argv:
                os.utime(fresh)
            wall, _, _, status, err = run_timed(argv, work, usage=False)
            if status != 0:
                sys.exit("%s failed: %s" % (name, err))
            times[name].append(wall)
    medians = {k: statistics.median(v) for k, v in times.items()}
    rows = [("load 64 KiB HEX, %s: median ms" % k, "%.2f" % (v * 1000), "", "") for k, v in medians.items()]
    for ours in ("quorvel -n", "quorvel -n -v", "quorvel -n, file just written"):
        for peer in ("avr-objcopy", "srec_cat"):
            if peer in medians:
                ratio = medians[ours] / medians[peer]
                rows.append(("%s / %s" % (ours, peer), "%.2f" % ratio, "<= 1", "yes" if ratio <= 1 else "NO"))
            else:
                rows.append(("%s / %s" % (ours, peer), "not installed", "<= 1", "-"))
    return rows


def instructions(argv):
    """The instructions that a run executes, as callgrind counts them."""
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                         capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", run.stderr) or re.search(r"I\s+refs:\s+([\d,]+)", run.stderr)
    if run.returncode != 0 or not found:
        sys.exit("callgrind failed on %s: %s" % (" ".join(argv), run.stderr[-2000:]))
    return int(found.group(1).replace(",", ""))


def quick_start_build(build, work):
    """The binary that the README's Quick start builds (build/ at the top)
    against the benchmarks' Release build: the same instructions for the
    same run, so that what users build is what is measured here."""
    theirs = os.path.join(TOP, "build", "src", "quorvel")
    path = os.path.join(work, "64k.hex")
    if not shutil.which("valgrind") or not os.path.exists(theirs):
        return [("Quick start build / Release build: instructions", "not measured (no valgrind or no build/)",
                 "<= 1.05", "-")]
    run = ["-n", "-mmcu=at90usb646", path]
    release = instructions([os.path.join(build, "src", "quorvel")] + run)
    quick = instructions([theirs] + run)
    ratio = quick / release
    return [("load 64 KiB HEX, Release build: instructions", "%.1f M" % (release / 1e6), "", ""),
            ("Quick start build / Release build: instructions", "%.3f" % ratio, "<= 1.05",
             "yes" if ratio <= 1.05 else "NO")]


MCUS = {0x2000: ("atmega8u2", 128), 0x4000: ("atmega16u2", 128), 0x8000: ("atmega32u4", 128),
        0x10000: ("at90usb646", 256)}


def present_device(sim, work, options, number=0, prefix=()):
    """Starts a simulated bootloader and binds its FUSE file over /dev/hidrawN
    (its command line after `prefix`)."""
    mount_dir = os.path.join(work, "sim-mnt%d" % number)
    os.makedirs(mount_dir, exist_ok=True)
    log = os.path.join(work, "sim%d.log" % number)
    if os.path.exists(log):
        os.unlink(log)
    simulator = subprocess.Popen(list(prefix) + [sim, mount_dir, log, os.path.join(work, "flash%d.bin" % number)] +
                                 options)
    while not (os.path.exists(log) and "ready" in open(log).read()):
        time.sleep(0.01)
    node = "/dev/hidraw%d" % number
    open(node, "w").close()
    subprocess.run(["mount", "--bind", os.path.join(mount_dir, "hidraw"), node], check=True)
    return simulator, log


def remove_device(simulator, number=0):
    subprocess.run(["umount", "-l", "/dev/hidraw%d" % number], check=True)
    simulator.terminate()
    simulator.wait()


def load_rows(build, quick, work):
    """Uploads while 4 busy loops at normal priority saturate the cores: 20
    uploads of 56 KiB at 1 ms per report (3 of 8 KiB with --quick), each
    interleaved with the reference walk. The device takes every report, so
    any time-out is a false one: the run judged a report late that the
    device took. The simulated device stands for a board, whose USB
    hardware no load on the host slows down: it runs at a real-time
    priority (chrt -f 10), the uploaders at the normal one. Runs after
    upload_rows, in the same namespace."""
    quorvel = os.path.join(build, "src", "quorvel")
    reference = os.path.join(build, "bench", "reference_upload")
    sim = os.path.join(build, "tests", "sim_bootloader")
    size, count = (0x2000, 3) if quick else (56 * 1024, 20)
    mcu, block = ("atmega8u2", 128) if quick else ("at90usb646", 256)
    hex_path = os.path.join(work, "load.hex")
    with open(hex_path, "w") as f:
        f.write(hex_image(size))
    reports = 1 + size // block * (3 + block // 32) + 2
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(4)]
    failures, timeouts, cpus, floor_cpus, walls, floors = [], 0, [], [], [], []
    try:
        for _ in range(count):
            for program in ("reference", "quorvel"):
                simulator, log = present_device(sim, work, ["--report-delay-us", "1000"],
                                                prefix=["chrt", "-f", "10"] if shutil.which("chrt") else [])
                argv = ([reference, "-mmcu=" + mcu, "/dev/hidraw0", hex_path] if program == "reference"
                        else [quorvel, "-mmcu=" + mcu, "-usb=5e1a:0001", hex_path])
                wall, cpu, _, status, err = run_timed(argv, work, usage=False)
                remove_device(simulator)
                frames = sum(1 for line in open(log) if line.startswith("frame "))
                if program == "reference":
                    if status != 0 or frames != reports:
                        sys.exit("reference walk under load failed: status %d, %d of %d reports" %
                                 (status, frames, reports))
                    floors.append(wall)
                    floor_cpus.append(cpu)
                    continue
                walls.append(wall)
                cpus.append(cpu)
                if status != 0 or frames != reports:
                    failures.append(err.strip().replace("\n", " ")[:160])
                    timeouts += "no answer within" in err
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
    label = "under load (4 busy loops), %d uploads of %d KiB (1 ms per report)" % (count, size // 1024)
    cpu_ratio = statistics.median(cpus) / statistics.median(floor_cpus)
    rows = [(label + ": false time-outs", "%d" % timeouts, "0", "yes" if timeouts == 0 else "NO"),
            (label + ": failed uploads", "%d" % len(failures), "0", "yes" if not failures else "NO"),
            (label + ": wall s / reference s, medians", "%.3f / %.3f" % (statistics.median(walls),
                                                                         statistics.median(floors)), "", ""),
            (label + ": CPU s per upload / reference walk's, medians",
             "%.4f / %.4f" % (statistics.median(cpus), statistics.median(floor_cpus)), "", ""),
            (label + ": CPU per upload / reference walk's", "%.3f" % cpu_ratio, "<= 1",
             "yes" if cpu_ratio <= 1 else "NO")]
    rows += [(label + ": failure", text, "", "") for text in failures[:3]]
    return rows


def board_rows(build, quick, work):
    """Eight boards at once (-all) against one, each taking 1 ms per report,
    interleaved; runs after upload_rows, in the same namespace."""
    quorvel = os.path.join(build, "src", "quorvel")
    sim = os.path.join(build, "tests", "sim_bootloader")
    size = 0x2000 if quick else 0x8000
    mcu, block = MCUS[size]
    hex_path = os.path.join(work, "boards.hex")
    with open(hex_path, "w") as f:
        f.write(hex_image(size))
    reports = 1 + size // block * (3 + block // 32) + 2
    for number in range(8):
        os.makedirs("/sys/class/hidraw/hidraw%d/device" % number, exist_ok=True)
        with open("/sys/class/hidraw/hidraw%d/device/uevent" % number, "w") as f:
            f.write("HID_ID=0003:00005E1A:00000001\nHID_NAME=Simulated bootloader\nHID_UNIQ=QV-%d\n" % number)
    one, eight = [], []
    for _ in range(1 if quick else 3):
        for boards in (1, 8):
            devices = [present_device(sim, work, ["--report-delay-us", "1000"], n) for n in range(8)]
            argv = ([quorvel, "-all=8", "-mmcu=" + mcu, "-usb=5e1a:0001", hex_path] if boards == 8 else
                    [quorvel, "-mmcu=" + mcu, "-usb=5e1a:0001", "-device=/dev/hidraw0", hex_path])
            wall, _, _, status, err = run_timed(argv, work, usage=False)
            for n, (simulator, _) in enumerate(devices):
                remove_device(simulator, n)
            frames = [sum(1 for line in open(log) if line.startswith("frame ")) for _, log in devices]
            if status != 0 or frames[:boards] != [reports] * boards:
                sys.exit("%d boards: status %d, frames %s of %d: %s" % (boards, status, frames, reports, err))
            (one if boards == 1 else eight).append(wall)
    ratio = statistics.median(eight) / statistics.median(one)
    label = "%d KiB to 8 boards at once (1 ms per report)" % (size // 1024)
    return [(label + ": wall s / one board's s", "%.3f / %.3f" % (statistics.median(eight), statistics.median(one)),
             "", ""),
            (label + ": wall / one board's", "%.4f" % ratio, "<= 1.05", "yes" if ratio <= 1.05 else "NO")]


def station_rows(build, quick, work):
    """A station (-station=N) while N boards appear at random moments over a
    spell (20 over 10 s): each board's time from appearing to its "Done"
    line against a lone board's upload (-device=, the same process start);
    1 ms per report. Runs after board_rows, in the same namespace."""
    import random
    import threading
    quorvel = os.path.join(build, "src", "quorvel")
    sim = os.path.join(build, "tests", "sim_bootloader")
    count, spell = (5, 3.0) if quick else (20, 10.0)
    size = 0x2000 if quick else 0x8000
    mcu, _ = MCUS[size]
    hex_path = os.path.join(work, "station.hex")
    with open(hex_path, "w") as f:
        f.write(hex_image(size))
    for entry in os.listdir("/sys/class/hidraw"):  # the earlier parts' boards are gone
        shutil.rmtree(os.path.join("/sys/class/hidraw", entry), ignore_errors=True)

    def appear(number):
        device = present_device(sim, work, ["--report-delay-us", "1000"], number)
        os.makedirs("/sys/class/hidraw/hidraw%d/device" % number)
        with open("/sys/class/hidraw/hidraw%d/device/uevent" % number, "w") as f:
            f.write("HID_ID=0003:00005E1A:00000001\nHID_NAME=Simulated bootloader\nHID_UNIQ=QV-%d\n" % number)
        return device, time.monotonic()

    lone = []
    for _ in range(1 if quick else 3):
        device, _ = appear(0)
        wall, _, _, status, err = run_timed([quorvel, "-mmcu=" + mcu, "-usb=5e1a:0001", "-device=/dev/hidraw0",
                                             hex_path], work, usage=False)
        remove_device(device[0], 0)
        shutil.rmtree("/sys/class/hidraw/hidraw0")
        if status != 0:
            sys.exit("lone board: status %d: %s" % (status, err))
        lone.append(wall)
    lone_s = statistics.median(lone)

    err_path = os.path.join(work, "station.err")
    station = subprocess.Popen([quorvel, "-station=%d" % count, "-mmcu=" + mcu, "-usb=5e1a:0001", hex_path],
                               stdout=subprocess.PIPE, stderr=open(err_path, "w"), text=True)
    done_at, started_at = {}, {}

    def read_lines():
        for line in station.stdout:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 4 and fields[3].startswith("Done in"):
                done_at[fields[0]] = time.monotonic()
            elif len(fields) == 4 and fields[3] == "Programming":
                started_at[fields[0]] = time.monotonic()
    reader = threading.Thread(target=read_lines)
    reader.start()
    moments = sorted(random.uniform(0, spell) for _ in range(count))
    started = time.monotonic()
    appeared, devices = {}, []
    for number, moment in enumerate(moments):
        time.sleep(max(0.0, started + moment - time.monotonic()))
        device, at = appear(number)
        devices.append(device)
        appeared["/dev/hidraw%d" % number] = at
    status = station.wait()
    reader.join()
    for number, (simulator, _) in enumerate(devices):
        remove_device(simulator, number)
    if status != 0 or len(done_at) != count:
        sys.exit("station: status %d, %d of %d boards done: %s" % (status, len(done_at), count,
                                                                  open(err_path).read()))
    ratios = [(done_at[path] - appeared[path]) / lone_s for path in appeared]
    label = "station, %d boards appearing over %g s, %d KiB (1 ms per report)" % (count, spell, size // 1024)
    worst = max(ratios)
    noticed = max(started_at[path] - appeared[path] for path in appeared)
    return [(label + ": lone board's upload s", "%.3f" % lone_s, "", ""),
            (label + ": appearing to its copy's start, worst ms", "%.0f" % (noticed * 1000), "", ""),
            (label + ": appearing to done / lone, median", "%.4f" % statistics.median(ratios), "", ""),
            (label + ": appearing to done / lone, worst", "%.4f" % worst, "<= 1.05",
             "yes" if worst <= 1.05 else "NO")]


def upload_rows(build, quick, work):
    """Runs inside a private mount namespace: a simulated bootloader at /dev/hidraw0.

    The simulated device is a FUSE file that answers each write only once
    the device has taken the report, as a hidraw write returns only when the
    USB transfer has ended: (a) at once, (b) after 1 ms per report, as a
    full-speed interrupt endpoint takes one report per frame. Each answer
    also costs a round trip through FUSE (tens of microseconds here), which
    no uploader can avoid on this device. So the floor is measured: the
    reference walk (bench/reference_upload) sends the same reports with
    plain writes and pauses that spin to their exact end, interleaved with
    quorvel's runs; wall / reference is quorvel's own cost, the judged
    figure. Against the protocol's nominal floor (the pauses, plus 1 ms per
    report in (b)) the round trips count as quorvel's; that figure is shown
    too."""
    pause, report_cost, round_trip = machine_bounds(build, quick)
    rows = [("a 10 ms pause lasts here: ms", "%.3f" % (pause * 1000), "", ""),
            ("one report costs the transport: us", "%.1f" % (report_cost * 1e6), "", ""),
            ("one write to the simulated device alone: us", "%.1f" % (round_trip * 1e6), "", "")]
    real_dev = os.path.join(work, "real-dev")
    os.makedirs(real_dev)
    subprocess.run(["mount", "--bind", "/dev", real_dev], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/sys/class/hidraw"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/dev"], check=True)
    for node in ("null", "zero", "urandom", "fuse"):
        open("/dev/" + node, "w").close()
        subprocess.run(["mount", "--bind", os.path.join(real_dev, node), "/dev/" + node], check=True)
    os.makedirs("/sys/class/hidraw/hidraw0/device")
    with open("/sys/class/hidraw/hidraw0/device/uevent", "w") as f:
        f.write("HID_ID=0003:00005E1A:00000001\nHID_NAME=Simulated bootloader\n")

    quorvel = os.path.join(build, "src", "quorvel")
    reference = os.path.join(build, "bench", "reference_upload")
    sim = os.path.join(build, "tests", "sim_bootloader")
    sizes = [0x2000] if quick else [0x2000, 0x4000, 0x8000, 0x10000]
    for mode, delay_us in (("a", 0), ("b", 1000)):
        for size in sizes:
            mcu, block = MCUS[size]
            hex_path = os.path.join(work, "%d.hex" % size)
            with open(hex_path, "w") as f:
                f.write(hex_image(size))
            blocks = size // block
            reports = 1 + blocks * (3 + block // 32) + 2
            nominal = 1.0 + 0.01 * blocks + 0.3 + (0.001 * reports if mode == "b" else 0)
            walls, cpus, floors, floor_cpus, rss, failed = [], [], [], [], 0, []
            for _ in range(1 if quick else 5):
                for program in ("reference", "quorvel"):  # interleaved: drift hits both alike
                    simulator, log = present_device(sim, work, ["--report-delay-us", str(delay_us)])
                    argv = ([reference, "-mmcu=" + mcu, "/dev/hidraw0", hex_path] if program == "reference"
                            else [quorvel, "-mmcu=" + mcu, "-usb=5e1a:0001", hex_path])
                    wall, cpu, peak, status, err = run_timed(argv, work)
                    remove_device(simulator)
                    frames = sum(1 for line in open(log) if line.startswith("frame "))
                    if status != 0 or frames != reports:
                        # The reference walk has no limits: its failure is the bench's. A run of
                        # quorvel's that failed (a host so busy that the simulated device, a
                        # process here, did not answer in time) is shown and left out.
                        if program == "reference":
                            sys.exit("%s: upload of %d bytes failed: status %d, %d of %d reports: %s" %
                                     (program, size, status, frames, reports, err))
                        failed.append(err.strip().replace("\n", " ")[:160])
                        continue
                    if program == "reference":
                        floors.append(wall)
                        floor_cpus.append(cpu)
                    else:
                        walls.append(wall)
                        cpus.append(cpu)
                        rss = max(rss, peak)
            goal = 1.005 if mode == "a" else 1.01
            label = "upload %2d KiB (%s)" % (size // 1024, "instant device" if mode == "a" else "1 ms per report")
            if failed:
                rows.append((label + ": failed uploads", "%d of %d" % (len(failed), len(failed) + len(walls)), "0",
                             "NO"))
                rows += [(label + ": failure", text, "", "") for text in failed[:2]]
            if not walls:
                continue
            wall, floor = statistics.median(walls), statistics.median(floors)
            rows.append((label + ": wall s / measured floor s", "%.3f / %.3f" % (wall, floor), "", ""))
            rows.append((label + ": wall / measured floor", "%.4f" % (wall / floor), "<= %s" % goal,
                         "yes" if wall / floor <= goal else "NO"))
            rows.append((label + ": wall / nominal floor (%.3f s)" % nominal, "%.4f" % (wall / nominal), "", ""))
            cpu_share = statistics.median(cpus) / wall * 100
            cpu_goal = 1 if mode == "a" else 2
            rows.append((label + ": CPU % of wall", "%.2f" % cpu_share, "< %d" % cpu_goal,
                         "yes" if cpu_share < cpu_goal else "NO"))
            rows.append((label + ": reference walk's CPU % of wall",
                         "%.2f" % (statistics.median(floor_cpus) / floor * 100), "", ""))
            cpu_ratio = statistics.median(cpus) / statistics.median(floor_cpus)
            rows.append((label + ": CPU per upload / reference walk's", "%.3f" % cpu_ratio, "<= 1",
                         "yes" if cpu_ratio <= 1 else "NO"))
            if size == max(sizes) and mode == "a" and rss:
                rows.append(("peak RSS, %d KiB upload: MiB" % (size // 1024), "%.2f" % (rss / 1024), "< 4",
                             "yes" if rss < 4096 else "NO"))
    return rows


def kernel_rows(build):
    """Through the real USB and HID stack (tests/kernel/run in its timing
    mode): a 57 KiB upload in the virtual machine against a plain writer
    replaying the same reports with exact pauses there (the measured floor),
    and the time between two reports at the gadget. dummy_hcd ignores the
    endpoint's polling interval, so this shows behaviour, not a real board's
    pace: the 1 ms rows above model that."""
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([os.path.join(top, "tests", "kernel", "run"), build, os.path.join(build, "src", "quorvel"),
                          os.path.join(build, "bench", "reference_upload")], capture_output=True, text=True)
    if out.returncode != 0:
        return [("upload 57 KiB through the real kernel", "failed: " + (out.stdout + out.stderr).strip()[-200:],
                 "", "")]
    figures = json.loads(out.stdout.strip().splitlines()[-1])
    label = "upload 57 KiB through the real kernel (VM, dummy_hcd)"
    ratio = figures["quorvel"] / figures["reference"]
    gap = figures["gap-quorvel"] / figures["gap-reference"]
    return [(label + ": wall s / replay s", "%.3f / %.3f" % (figures["quorvel"], figures["reference"]), "", ""),
            (label + ": wall / replay", "%.4f" % ratio, "<= 1.02", "yes" if ratio <= 1.02 else "NO"),
            (label + ": time between two reports at the gadget, quorvel / replay: us",
             "%d / %d" % (figures["gap-quorvel"], figures["gap-reference"]), "", ""),
            (label + ": time between two reports, quorvel / replay", "%.3f" % gap, "0.9 - 1.1",
             "yes" if 0.9 <= gap <= 1.1 else "NO")]


def page_rows(build, quick):
    """The page (web/) in headless Chromium against the command line: the
    56 KiB fixture on the same simulated board at 1 ms per report,
    interleaved, medians (tests/web: Page.DISABLED_BenchUploadAgainstTheCommandLine,
    in the bench's own namespace). Each time runs from the click on Flash,
    or the command line's start, to the end."""
    env = dict(os.environ, QUORVEL_BENCH_ROUNDS="1" if quick else "5")
    out = subprocess.run([os.path.join(build, "tests", "quorvel_web_tests"), "--gtest_also_run_disabled_tests",
                          "--gtest_filter=Page.DISABLED_BenchUploadAgainstTheCommandLine"],
                         capture_output=True, text=True, env=env)
    lines = [line for line in out.stdout.splitlines() if line.startswith("page-bench ")]
    label = "page upload 56 KiB at 1 ms per report (Chromium, WebHID)"
    if out.returncode != 0 or not lines:
        # The test's own words: from its first failure on, not gtest's tail.
        text = out.stdout + out.stderr
        at = text.find("Failure")
        return [(label, "failed: " + " ".join(text[at if at >= 0 else 0:].split())[:300], "", "")]
    figures = json.loads(lines[-1][len("page-bench "):])
    ratio = figures["page"] / figures["cli"]
    return [(label + ": page s / command line s", "%.3f / %.3f" % (figures["page"], figures["cli"]), "", ""),
            (label + ": page / command line", "%.4f" % ratio, "<= 1.05", "yes" if ratio <= 1.05 else "NO"),
            (label + ": between two reports of a block, page / command line: ms",
             "%.3f / %.3f" % (figures["page_within_ms"], figures["cli_within_ms"]), "", ""),
            (label + ": from a block's last report to the next block's first, page / command line: ms",
             "%.3f / %.3f" % (figures["page_between_ms"], figures["cli_between_ms"]), "", ""),
            (label + ": from the first report at the board to the last, page / command line: s",
             "%.3f / %.3f" % (figures["page_reports"], figures["cli_reports"]), "", "")]


def print_table(rows):
    header = ("figure", "value", "goal", "holds")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(4)]
    for row in [header] + rows:
        print("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--inner-upload", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.inner_upload:  # the upload part, inside the namespace: rows as JSON
        # A run's writer process outlives the run by a moment; as their
        # subreaper this process gets them and counts their CPU time.
        import ctypes
        PR_SET_CHILD_SUBREAPER = 36
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        rows = upload_rows(args.build, args.quick, args.inner_upload)
        rows += load_rows(args.build, args.quick, args.inner_upload)
        rows += board_rows(args.build, args.quick, args.inner_upload)
        rows += station_rows(args.build, args.quick, args.inner_upload)
        json.dump(rows, sys.stdout)
        return

    work = tempfile.mkdtemp(prefix="quorvel-bench-")
    try:
        rows = reader_throughput(args.build, args.quick)
        rows += peer_comparison(args.build, args.quick, work)
        rows += quick_start_build(args.build, work)
        if os.geteuid() == 0:
            inner = [sys.executable, os.path.abspath(__file__), "--build", args.build, "--inner-upload", work]
            if args.quick:
                inner.append("--quick")
            out = subprocess.run(["unshare", "--mount", "--propagation", "private"] + inner,
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
            rows += [tuple(r) for r in json.loads(out)]
            rows += page_rows(args.build, args.quick)
        else:
            rows.append(("upload figures", "skipped: need root", "", ""))
        rows += kernel_rows(args.build)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("quorvel benchmarks on %s, %d cores%s" % (os.uname().machine, os.cpu_count(),
                                                    " (quick run)" if args.quick else ""))
    print_table(rows)


if __name__ == "__main__":
    main()
