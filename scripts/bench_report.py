#!/usr/bin/env python3
"""Turns the benchmark's raw rows into the table (printed, and written as
results.md with results.csv beside it): medians of the repetitions with the
spread as min-max, and the ratios the targets are set on.

Raw rows: download|digest,subject,seconds,bytes / install|scaling,subject,
seconds,peak-growth-bytes,bytes,files / start,subject,seconds / failed,install,
message (a repetition that failed once and was run again) / publish,subject,
seconds,bytes written,bytes kept,peak bytes,build MiB (the release tool) /
publishpacked, the same and patch bytes,changed bytes (its packed-game case)."""
import csv
import os
import platform
import statistics
import sys
from collections import defaultdict

raw, out, mode = sys.argv[1], sys.argv[2], sys.argv[3]
samples = defaultdict(list)  # (row, subject, bytes, files) -> seconds
growth = defaultdict(list)   # (row, bytes, files) -> peak growth of the launcher
failures = []              # repetitions that failed once and were run again
patch_bytes = None         # update bytes, full archive bytes, full fetches, repetitions
packed_bytes = None        # update bytes, delta tools' anchor, changed bytes, full archive bytes
publishes = defaultdict(list)  # (subject, MiB) -> (seconds, written, kept, peak)
packed = defaultdict(list)     # subject -> (seconds, peak, MiB, patch bytes, changed bytes)
storage = {}               # keep-2|keep-all -> (bytes, builds, updates)
refusal = None             # seconds, free bytes lost, files left, right sentence
for row in csv.reader(open(raw)):
    if len(row) >= 3 and row[0] == "failed":
        failures.append(f"{row[1]}: {','.join(row[2:])}")
        continue
    if len(row) < 3 or float(row[2]) < 0:
        continue  # a measurement that did not complete
    kind, subject, seconds = row[0], row[1], float(row[2])
    if kind in ("install", "scaling"):
        key = (kind, subject, int(row[4]), int(row[5]))
        if subject == "launcher":
            growth[(kind, int(row[4]), int(row[5]))].append(int(row[3]))
    elif kind in ("download", "digest", "remove"):
        key = (kind, subject, int(row[3]) if len(row) > 3 else 0, 0)
    elif kind in ("patch", "packed"):
        key = (kind, subject, 0, 0)
        growth[(kind, subject, 0)].append(int(row[3]))
    elif kind == "patchbytes":
        patch_bytes = [int(v) for v in row[2:6]]
        continue
    elif kind == "packedbytes":
        packed_bytes = [int(v) for v in row[2:6]]
        continue
    elif kind == "publish":
        publishes[(subject, int(row[6]))].append(
            (seconds, int(row[3]), int(row[4]), int(row[5]), int(row[7])))
        continue
    elif kind == "publishpacked":
        packed[subject].append((seconds, int(row[5]), int(row[6]), int(row[7]), int(row[8])))
        continue
    elif kind == "storage":
        storage[subject] = tuple(int(v) for v in row[3:6])
        continue
    elif kind == "refusal":
        refusal = (seconds, int(row[3]), int(row[4]), row[5] == "1")
        continue
    elif kind == "memory":
        growth[("memory", subject, 0)].append(int(row[3]))
        continue
    else:
        key = (kind, subject, 0, 0)
    samples[key].append(seconds)


def stats(kind, subject, size=None, files=None):
    for (k, s, b, f), values in samples.items():
        if k == kind and s == subject and (size is None or b == size) and (files is None or f == files):
            return statistics.median(values), min(values), max(values), b, f
    return None


STAGES = [("download", "download"), ("digest", "digest"), ("list", "list (tar -t)"),
          ("extract", "extract (tar -x)"), ("rename", "rename into place")]


def stage_median(subject, stage):
    s = stats("stage", f"{subject}-{stage}")
    return s[0] if s else None


def stage_sum(subject):
    values = [stage_median(subject, name) for name, _ in STAGES]
    return sum(values) if all(v is not None for v in values) else None


def fmt(s):
    return "n/a" if s is None else f"{s[0]:.3f} s ({s[1]:.3f}-{s[2]:.3f})"


lines, table_csv = [], [["row", "subject", "median_s", "min_s", "max_s", "ratio", "target", "met"]]


def add(row, subject, s, ratio="", target="", met=""):
    lines.append(f"| {row} | {subject} | {fmt(s)} | {ratio} | {target} | {met} |")
    table_csv.append([row, subject] + ([f"{v:.6f}" for v in s[:3]] if s else ["", "", ""]) +
                     [ratio, target, met])


def verdict(ok):
    return "yes" if ok else "no"


def rate_row(kind, title, ours, baseline, beside, compared, target):
    """The launcher's subject against a baseline rate (at least `target` of
    it), with a third subject shown beside them. Each subject is (name, label)."""
    s_ours, s_base, s_beside = (stats(kind, name) for name, _ in (ours, baseline, beside))
    if s_ours and s_base:
        ratio = s_base[0] / s_ours[0]
        add(f"{title} {s_ours[3] >> 20} MiB", ours[1], s_ours, f"{ratio:.2f} of {compared}", f">= {target}",
            verdict(ratio >= target))
        add("", baseline[1], s_base)
        add("", beside[1], s_beside)


rate_row("download", "1. Download", ("launcher", "HttpsGet, file mode, stall watch on"),
         ("bare", "bare synchronous WinHTTP loop, 64 KiB reads"),
         ("curl", "curl (Linux), same server and file"), "the bare loop's rate", 0.95)
rate_row("digest", "2. Digest", ("launcher", "Sha256FileHex, from the file"),
         ("bare", "bare CNG over the bytes in memory"), ("sha256sum", "sha256sum (Linux)"),
         "in-memory CNG", 0.9)

launcher = stats("install", "launcher")
if launcher:
    tools = stats("install", "tools", launcher[3], launcher[4])
    label = f"3. Install {launcher[3] >> 20} MiB, {launcher[4]} files"
    if tools:
        ratio = launcher[0] / tools[0]
        add(label, "InstallUpdate", launcher, f"{ratio:.2f} of the tools' sum", "<= 1.15",
            verdict(ratio <= 1.15))
        add("", "curl + sha256sum + bsdtar -t + bsdtar -x + mv", tools)
    bare_sum = stage_sum("bare")
    if bare_sum:
        ratio = launcher[0] / bare_sum
        lines.append(f"|  | same stages by bare platform calls under Wine (sum of medians) | {bare_sum:.3f} s | "
                     f"{ratio:.2f} of the bare calls' sum | <= 1.15 | {verdict(ratio <= 1.15)} |")
        table_csv.append(["3. Install", "bare platform stages under Wine", f"{bare_sum:.6f}", "", "",
                          f"{ratio:.3f}", "<= 1.15", verdict(ratio <= 1.15)])
    peak = max(growth[("install", launcher[3], launcher[4])]) / (1 << 20)
    tls_startup = max(growth[("memory", "tls-startup", 0)] or [0]) / (1 << 20)
    lines.append(f"| 4. Memory during 3 | peak working set above idle | {peak:.1f} MiB | "
                 f"for a {launcher[3] >> 20} MiB build (row 6 shows it at each size); idle is after "
                 f"the TLS stack's start-up, which took {tls_startup:.1f} MiB once | < 16 MiB | "
                 f"{verdict(peak < 16)} |")
    table_csv.append(["4. Memory", "peak growth MiB", f"{peak:.3f}", "", "", "", "< 16", verdict(peak < 16)])

launcher, minimal = stats("start", "launcher"), stats("start", "minimal")
if launcher and minimal:
    add("5. Start to play, build stored", "launcher (invite link, no download)", launcher,
        f"{launcher[0] / minimal[0]:.2f} x the minimal starter", "reported")
    add("", "minimal program that starts the game", minimal)
    keyed = stats("start", "launcher-keyed")
    if keyed:
        add("", "launcher built with a release key: signatures, sequences and expiry checked",
            keyed, f"{keyed[0] / launcher[0]:.2f} x the launcher without a key", "< 1.05",
            verdict(keyed[0] / launcher[0] < 1.05))
    for subject, label in (("selftest", "launcher --selftest: its process, no window, no request"),
                           ("probe", "launcher --probe-manifest: the same with one manifest request"),
                           ("probe-keyed", "the same, launcher built with a release key (one signature check)"),
                           ("request-first", "first manifest request of a process (HttpsGet, memory mode)"),
                           ("request", "a later manifest request in the same process")):
        part = stats("start", subject)
        if part:
            add("", label, part)

update, full = stats("patch", "update"), stats("patch", "full")
if update and full and patch_bytes:
    ratio = update[0] / full[0]
    # Repetitions alternate, so each update and the full install after it
    # saw the same load on the machine: their ratios are shown too.
    pairs = [u / f for u, f in zip(samples[("patch", "update", 0, 0)], samples[("patch", "full", 0, 0)])]
    add("8. Update by patch (index + patch from the previous build)", "time to the new build in place",
        update, f"{ratio:.2f} of the full install's (pairs: {statistics.median(pairs):.2f}, "
        f"{min(pairs):.2f}-{max(pairs):.2f})", "<= 0.4", verdict(ratio <= 0.4))
    add("", "full install of the same build, same manifest", full)
    share = patch_bytes[0] / patch_bytes[1]
    only_full = patch_bytes[2] == patch_bytes[3]
    lines.append(f"|  | bytes downloaded: index + patch | {patch_bytes[0]} of {patch_bytes[1]} | "
                 f"{100 * share:.2f} % of the full archive; the full archive fetched "
                 f"{patch_bytes[2]} times in {patch_bytes[3]} full installs and no update | <= 3 % | "
                 f"{verdict(share <= 0.03 and only_full)} |")
    table_csv.append(["8. Update by patch", "bytes share", f"{share:.6f}", "", "", "", "<= 0.03",
                      verdict(share <= 0.03 and only_full)])
    peak = max(growth[("patch", "update", 0)]) / (1 << 20)
    lines.append(f"|  | memory: peak working set above the launcher at rest | {peak:.1f} MiB | | "
                 f"<= 8 MiB | {verdict(peak <= 8)} |")
    table_csv.append(["8. Update by patch", "peak growth MiB", f"{peak:.3f}", "", "", "", "<= 8",
                      verdict(peak <= 8)])

update, full = stats("packed", "update"), stats("packed", "full")
if update and full and packed_bytes:
    ratio = update[0] / full[0]
    pairs = [u / f for u, f in zip(samples[("packed", "update", 0, 0)], samples[("packed", "full", 0, 0)])]
    add("8b. Update of a packed game (bytes changed inside packed files)",
        "time to the new build in place", update,
        f"{ratio:.2f} of the full install's (pairs: {statistics.median(pairs):.2f}, "
        f"{min(pairs):.2f}-{max(pairs):.2f})", "<= 0.4", verdict(ratio <= 0.4))
    add("", "full install of the same build, same manifest", full)
    share = packed_bytes[0] / packed_bytes[1]
    lines.append(f"|  | bytes downloaded: index + patch, against xdelta3 -9 of the changed packs + "
                 f"zstd -19 of the new small files | {packed_bytes[0]} against {packed_bytes[1]} "
                 f"({packed_bytes[2]} bytes changed; full archive {packed_bytes[3]}) | "
                 f"{share:.2f} x the anchor | <= 1.25 | {verdict(share <= 1.25)} |")
    table_csv.append(["8b. Update of a packed game", "bytes / anchor", f"{share:.6f}", "", "", "",
                      "<= 1.25", verdict(share <= 1.25)])
    peak = max(growth[("packed", "update", 0)]) / (1 << 20)
    lines.append(f"|  | memory: peak working set above the launcher at rest | {peak:.1f} MiB | | "
                 f"<= 8 MiB | {verdict(peak <= 8)} |")
    table_csv.append(["8b. Update of a packed game", "peak growth MiB", f"{peak:.3f}", "", "", "",
                      "<= 8", verdict(peak <= 8)])

publish_sizes = sorted({mib for _, mib in publishes})
if publish_sizes:
    big = publish_sizes[-1]
    timing = lambda subject, mib: statistics.median(r[0] for r in publishes[(subject, mib)])
    with_patches, without = timing("patches3", big), timing("patches0", big)
    ratio = with_patches / without
    lines.append(f"| 9. Release tool, {big} MiB game build | publish with 3 patches; the same with "
                 f"--patches 0 | {with_patches:.3f} s; {without:.3f} s | {ratio:.2f} x the time "
                 f"without patches | <= 2.5 | {verdict(ratio <= 2.5)} |")
    table_csv.append(["9. Release tool", "time with 3 patches / without", f"{with_patches:.6f}", "",
                      "", f"{ratio:.3f}", "<= 2.5", verdict(ratio <= 2.5)])
    for subject, label in (("patches3", "with 3 patches"), ("patches0", "with --patches 0")):
        share = max(r[1] / r[2] for r in publishes[(subject, big)])
        lines.append(f"|  | bytes written (wchar) per byte that stays in the folder, {label} | "
                     f"{share:.3f} | worst repetition | <= 1.1 | {verdict(share <= 1.1)} |")
        table_csv.append(["9. Release tool", f"written per kept {subject}", f"{share:.6f}", "", "",
                          "", "<= 1.1", verdict(share <= 1.1)])
    # The block table may grow with the build (it is bounded on its own);
    # everything else the tool holds must not.
    peaks = {mib: max(r[3] for r in publishes[("patches3", mib)]) / (1 << 20) for mib in publish_sizes}
    tables = {mib: publishes[("patches3", mib)][0][4] / (1 << 20) for mib in publish_sizes}
    rest = {mib: peaks[mib] - tables[mib] for mib in publish_sizes}
    flat = rest[big] <= rest[publish_sizes[0]] + 4
    lines.append(f"|  | peak memory of the publish with 3 patches, and without its block table | "
                 + "; ".join(f"{peaks[m]:.1f} MiB, {rest[m]:.1f} MiB without the table's "
                             f"{tables[m]:.1f} MiB at {m} MiB" for m in publish_sizes)
                 + f" | the same at both sizes, the table aside | within 4 MiB | {verdict(flat)} |")
    table_csv.append(["9. Release tool", "peak MiB without the block table at the largest size",
                      f"{rest[big]:.3f}", "", "", "", "within 4 MiB of the smallest",
                      verdict(flat)])
if packed["patches3"] and packed["patches0"]:
    mib = packed["patches3"][0][2]
    with_patches = statistics.median(r[0] for r in packed["patches3"])
    without = statistics.median(r[0] for r in packed["patches0"])
    ratio = with_patches / without
    lines.append(f"| 9. Release tool, packed game of {mib} MiB (block-level patches) | publish with 3 "
                 f"patches; the same with --patches 0 | {with_patches:.3f} s; {without:.3f} s | "
                 f"{ratio:.2f} x the time without patches | <= 3 | {verdict(ratio <= 3)} |")
    table_csv.append(["9. Release tool, packed", "time with 3 patches / without",
                      f"{with_patches:.6f}", "", "", f"{ratio:.3f}", "<= 3", verdict(ratio <= 3)])
    peak = max(r[1] for r in packed["patches3"]) / (1 << 20)
    lines.append(f"|  | peak memory of the publish with 3 patches | {peak:.1f} MiB | worst "
                 f"repetition | <= 256 MiB | {verdict(peak <= 256)} |")
    table_csv.append(["9. Release tool, packed", "peak MiB with 3 patches", f"{peak:.3f}", "", "", "",
                      "<= 256", verdict(peak <= 256)])
    patch, changed = packed["patches3"][-1][3], packed["patches3"][-1][4]
    lines.append(f"|  | the patch from the build before; the bytes that changed | {patch} bytes; "
                 f"{changed} bytes | {patch / changed:.3f} x the changed bytes | (shown) |  |")
    table_csv.append(["9. Release tool, packed", "patch bytes / changed bytes", str(patch), "", "",
                      f"{patch / changed:.4f}", "", ""])
on, off = stats("keep", "on"), stats("keep", "off")
if on and off:
    ratio = on[0] / off[0]
    pairs = [a / b for a, b in zip(samples[("keep", "on", 0, 0)], samples[("keep", "off", 0, 0)])]
    add("9. Update by patch keeping 2 builds (one older build removed)",
        "time to the game's start (the older build moved out of \"versions\" and freed after it)", on,
        f"{ratio:.2f} of the same update without the key (pairs: {statistics.median(pairs):.2f}, "
        f"{min(pairs):.2f}-{max(pairs):.2f})", "<= 1.15", verdict(ratio <= 1.15))
    add("", "the same update without the key (every build kept)", off)
if "keep-2" in storage and "keep-all" in storage:
    (kept_bytes, kept, updates), (all_bytes, every, _) = storage["keep-2"], storage["keep-all"]
    ok = kept <= 2 and every == updates + 1
    lines.append(f"| 9. Storage after {updates} updates | builds and bytes in \"versions\": "
                 f"--keep-builds 2; no key | {kept} builds, {kept_bytes} bytes; {every} builds, "
                 f"{all_bytes} bytes | {kept_bytes / max(all_bytes, 1):.2f} of the bytes without the key "
                 f"| <= 2 builds; {updates + 1} without | {verdict(ok)} |")
    table_csv.append(["9. Storage", "builds kept / without the key", f"{kept}", f"{every}", "",
                      f"{kept_bytes}/{all_bytes}", "<= 2", verdict(ok)])
if refusal:
    seconds, lost, left, sentence = refusal
    ok = lost < 65536 and left == 0 and sentence  # below 0: the disk gained meanwhile
    lines.append(f"| 9. Free-space refusal (16 MiB build, 8 MiB disk) | free bytes lost; files left; "
                 f"the sentence | {lost} bytes; {left}; {'right' if sentence else 'wrong'} | refused in "
                 f"{seconds:.3f} s | no body byte written, nothing left | {verdict(ok)} |")
    table_csv.append(["9. Free-space refusal", "bytes lost / files left", f"{lost}", f"{left}", "",
                      "", "0 / 0", verdict(ok)])

ours, std = stats("remove", "launcher"), stats("remove", "std")
if ours and std:
    ratio = ours[0] / std[0]
    add(f"7. Remove a tree of {ours[3]} files", "RemoveTree (never enters a link)", ours,
        f"{ratio:.2f} of remove_all", "<= 1.2", verdict(ratio <= 1.2))
    add("", "std::filesystem::remove_all (follows links)", std)


def scaling_points(subject):
    return sorted((b, f, statistics.median(v)) for (k, s, b, f), v in samples.items()
                  if k == "scaling" and s == subject)


points, tool_points = scaling_points("launcher"), dict(((b, f), t) for b, f, t in scaling_points("tools"))
for size, files, seconds in points:
    mib = size >> 20
    tools = tool_points.get((size, files))
    peak = max(growth[("scaling", size, files)]) / (1 << 20)
    tools_text = "n/a" if tools is None else f"{tools:.3f} s"
    lines.append(f"| 6. Scaling {mib} MiB, {files} files | InstallUpdate; tools' sum | "
                 f"{seconds:.3f} s; {tools_text} | {seconds / mib * 1000:.1f} ms/MiB, "
                 f"{seconds / files * 1000:.2f} ms/file; peak growth {peak:.1f} MiB | flat | |")
    table_csv.append([f"6. Scaling {mib} MiB {files} files", "InstallUpdate", f"{seconds:.6f}", "", "",
                      "", "flat", ""])
    table_csv.append([f"6. Scaling {mib} MiB {files} files", "tools", "" if tools is None else f"{tools:.6f}", "", "",
                      "", "", ""])


def slopes(points, fixed_index, vary_index):
    """Seconds per unit of one dimension between neighbouring points that share
    the other: equal slopes mean the cost grows in a straight line."""
    groups = defaultdict(list)
    for p in points:
        groups[p[fixed_index]].append(p)
    best = sorted(max(groups.values(), key=len, default=[]), key=lambda p: p[vary_index])
    return [(a[vary_index], b[vary_index], (b[2] - a[2]) / (b[vary_index] - a[vary_index]))
            for a, b in zip(best, best[1:]) if b[vary_index] != a[vary_index]]


def describe(segments, unit, scale, digits, label):
    return ", ".join(f"{a // unit}-{b // unit} {label}: {s * scale:.{digits}f}" for a, b, s in segments)


tool_list = sorted((b, f, t) for (b, f), t in tool_points.items())
for subject, pts in (("InstallUpdate", points), ("tools' sum", tool_list)):
    per_mib, per_file = slopes(pts, 1, 0), slopes(pts, 0, 1)
    if per_mib:
        lines.append(f"| 6. Slope per added MiB | {subject} | | ms: "
                     f"{describe(per_mib, 1 << 20, (1 << 20) * 1000, 1, 'MiB')} | flat | |")
    if per_file:
        lines.append(f"| 6. Slope per added file | {subject} | | ms: "
                     f"{describe(per_file, 1, 1000, 3, 'files')} | flat | |")


# Where the installation's time goes, stage by stage, for the install row.
breakdown = []
if stats("stage", "launcher-download"):
    breakdown = ["", "Installation by stage (medians, install row): Linux tools, the bare platform calls "
                 "under Wine, and the launcher's own functions under Wine.", "",
                 "| Stage | Linux tool | Bare calls under Wine | Launcher's functions | Launcher / bare |",
                 "|---|---|---|---|---|"]
    for name, label in STAGES + [("tarstart", "tar.exe --version (one Wine process start)")]:
        tool, bare, ours = (stage_median(s, name) for s in ("tools", "bare", "launcher"))
        cell = lambda v: "n/a" if v is None else f"{v:.3f} s"
        ratio = f"{ours / bare:.2f}" if ours and bare else ""
        breakdown.append(f"| {label} | {cell(tool)} | {cell(bare)} | {cell(ours)} | {ratio} |")
        table_csv.append([f"stage {name}", "tools/bare/launcher", cell(tool), cell(bare), cell(ours),
                          ratio, "", ""])
    sums = [stage_sum(s) for s in ("tools", "bare", "launcher")]
    if all(sums):
        breakdown.append(f"| sum of the stages | {sums[0]:.3f} s | {sums[1]:.3f} s | {sums[2]:.3f} s | "
                         f"{sums[2] / sums[1]:.2f} |")

cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
header = [f"Benchmark ({mode}) on {platform.node()}: {cpu}, {os.cpu_count()} cores, Debian 12, Wine 8; "
          "HTTPS over loopback from the Python test service.", "",
          "| Row | Subject | Median (min-max) | Ratio | Target | Met |", "|---|---|---|---|---|---|"]
if failures:
    breakdown += ["", f"Repetitions that failed once and were run again: {len(failures)}."] + \
                 [f"- {f}" for f in failures]
table = "\n".join(header + lines + breakdown) + "\n"
os.makedirs(out, exist_ok=True)
open(os.path.join(out, "results.md"), "w").write(table)
with open(os.path.join(out, "results.csv"), "w", newline="") as f:
    csv.writer(f).writerows(table_csv)
print(table)
