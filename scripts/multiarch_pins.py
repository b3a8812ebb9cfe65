#!/usr/bin/env python3
"""Keeps the Multi-Arch "same" libraries an install needs at one version on every architecture.

A library such as libssl3 installed for this machine's architecture and for a foreign one (wine's
i386, the cross build's arm64) must have the same version on all of them. A foreign architecture's
package lists can lag the native ones (a security update reaches amd64 first), and apt then refuses
the install ("held broken packages"). For each such library the install puts on more than one
architecture, this picks the newest version that all of them can install, pins it for those
packages only (and for installed packages built with them that need them exactly, as libssl-dev
needs libssl3) in the preferences file, prints one line per pin, and checks with apt that the install
then goes through without removing anything. It fails, naming the versions each architecture offers,
when a library the install needs has no such version. Without a foreign architecture, or without
skew, it changes nothing.

    multiarch_pins.py [--dry-run] [--preferences FILE] [--no-install-recommends] PACKAGE...
    (as root; scripts/install-packages.sh runs it before each install it makes)
"""
import argparse
import functools
import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

PREFERENCES = "/etc/apt/preferences.d/trevask-multiarch"
STATUS_FILE = "/var/lib/dpkg/status"


# Debian version order (dpkg's): epoch, then upstream version and revision, each compared as runs
# of non-digits (letters before other characters, "~" before everything, even the end) and numbers.
def _order(c):
    if c.isdigit():
        return 0
    if c.isalpha():
        return ord(c)
    return -1 if c == "~" else ord(c) + 256


_NUMBER = re.compile(r"0*(\d*)")


def _compare_part(a, b):
    i = j = 0
    while i < len(a) or j < len(b):
        while (i < len(a) and not a[i].isdigit()) or (j < len(b) and not b[j].isdigit()):
            ac = _order(a[i]) if i < len(a) else 0
            bc = _order(b[j]) if j < len(b) else 0
            if ac != bc:
                return ac - bc
            i, j = i + 1, j + 1
        da, db = _NUMBER.match(a, i), _NUMBER.match(b, j)
        na, nb = da.group(1), db.group(1)
        if len(na) != len(nb) or na != nb:
            return (len(na) > len(nb)) - (len(na) < len(nb)) or (na > nb) - (na < nb)
        i, j = da.end(), db.end()
    return 0


def _split(version):
    epoch, _, rest = version.partition(":") if ":" in version else ("0", "", version)
    upstream, _, revision = rest.rpartition("-") if "-" in rest else (rest, "", "")
    return int(epoch or 0), upstream, revision


def compare_versions(a, b):
    ea, ua, ra = _split(a)
    eb, ub, rb = _split(b)
    return (ea > eb) - (ea < eb) or _compare_part(ua, ub) or _compare_part(ra, rb)


newest_first = functools.cmp_to_key(lambda a, b: compare_versions(b, a))


@dataclass
class Table:
    """One package of one architecture as `apt-cache policy` shows it."""

    installed: str | None = None
    offers: dict = field(default_factory=dict)  # version -> the highest priority of a list carrying it

    def would_take(self):
        """The version apt would have there without any pin on versions: the newest of the lists'
        top priority, or the installed one where it is newer still (apt keeps it below 1000)."""
        if not self.offers:
            return self.installed
        top = max(self.offers.values())
        best = sorted((v for v, p in self.offers.items() if p == top), key=newest_first)[0]
        if self.installed and top < 1000 and compare_versions(self.installed, best) > 0:
            return self.installed
        return best


def parse_policy(text, native):
    """{(package, architecture): Table} from `apt-cache policy NAME...` (native names have no
    architecture there; /var/lib/dpkg/status only marks what is installed, it offers nothing)."""
    tables, table, version = {}, None, None
    for line in text.splitlines():
        header = re.fullmatch(r"(\S+?)(?::([a-z0-9-]+))?:", line)
        if header:
            table = tables.setdefault((header.group(1), header.group(2) or native), Table())
            continue
        if table is None:
            continue
        installed = re.fullmatch(r"\s+Installed: (\S+)", line)
        listed = re.fullmatch(r" (?:\*\*\*| {3}) (\S+) -?\d+", line)
        source = re.fullmatch(r"\s{8}(-?\d+) (.*)", line)
        if installed:
            table.installed = None if installed.group(1) == "(none)" else installed.group(1)
        elif listed:
            version = listed.group(1)
        elif source and version and source.group(2) != STATUS_FILE:
            priority = int(source.group(1))
            table.offers[version] = max(priority, table.offers.get(version, priority))
    return tables


def _words(items):
    items = list(items)
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


@dataclass
class Pin:
    package: str
    version: str
    architectures: tuple
    why: str
    companions: tuple = ()  # "name:arch" of installed packages built with it that must follow it

    def line(self):
        also = f" (with {', '.join(self.companions)})" if self.companions else ""
        return f"pinned {self.package} to {self.version} for {_words(self.architectures)}{also}: {self.why}"

    def record(self):
        names = " ".join([f"{self.package}:{a}" for a in self.architectures] + list(self.companions))
        return (f"Explanation: {self.package} must have one version on {_words(self.architectures)} "
                f"(written by trevask's scripts/install-packages.sh)\n"
                f"Package: {names}\nPin: version {self.version}\nPin-Priority: 1001\n")


def decide(package, tables, native):
    """What a package needs on the architectures it will be on ({architecture: Table}): None when apt
    takes one version on all of them by itself, a Pin, or an error's text when no version is
    installable on all of them."""
    arches = sorted((a for a, t in tables.items() if t.offers or t.installed), key=lambda a: (a != native, a))
    takes = {a: tables[a].would_take() for a in arches}
    if len(set(takes.values())) <= 1:
        return None
    # A version counts where a list offers it or it is installed already.
    common = set.intersection(*({tables[a].installed} - {None} | set(tables[a].offers) for a in arches))
    if not common:
        offered = "; ".join(
            f"{a}'s lists offer {', '.join(sorted(tables[a].offers, key=newest_first)) or 'nothing'}"
            + (f", {tables[a].installed} is installed" if tables[a].installed else "") for a in arches)
        every = "both" if len(arches) == 2 else "all"
        return (f"{package} has no version that {_words(arches)} can {every} install ({offered}), and it must "
                f"have one version on {every}. Try again once their package lists agree (apt-get update), or "
                f"leave out the {_words(arches[1:])} packages that need it.")
    version = sorted(common, key=newest_first)[0]
    why = ", ".join(f"{a} would take {takes[a]}" + (f" (has {tables[a].installed})"
                                                      if tables[a].installed not in (None, takes[a]) else "")
                    for a in arches)
    return Pin(package, version, tuple(arches), why)


def parse_closure(text, native):
    """The (package, architecture) pairs of `apt-cache depends --recurse` (virtual ones left out)."""
    pairs = set()
    for line in text.splitlines():
        if line and not line[0].isspace() and not line.startswith("<"):
            name, _, arch = line.partition(":")
            pairs.add((name, arch or native))
    return pairs


def parse_plan(text, native):
    """The (package, architecture) pairs that `apt-get install --print-uris` with
    APT::Get::Show-Versions would install or change, and those it would remove."""
    changes, removals, into = set(), set(), None
    for line in text.splitlines():
        if not line.startswith(" "):
            changing = re.search(r"NEW packages will be|will be upgraded|will be DOWNGRADED|will be changed", line)
            into = removals if "will be REMOVED" in line else changes if changing else None
        elif into is not None and line.strip():
            name, _, arch = line.split()[0].partition(":")
            into.add((name, arch or native))
    return changes, removals


def read_records(text):
    """{package: its record} of a preferences file this script wrote."""
    records = {}
    for record in re.split(r"\n\s*\n", text.strip()):
        names = re.search(r"^Package: (.+)$", record, re.M)
        if names:
            records[names.group(1).split()[0].partition(":")[0]] = record.strip() + "\n"
    return records


def render(records):
    return "\n".join(records[p] for p in sorted(records))


def pinned_names(record):
    """The "name:arch" a record pins."""
    return re.search(r"^Package: (.+)$", record, re.M).group(1).split() if record else []


def run(*command, check=True, options=()):
    result = subprocess.run([command[0], *options, *command[1:]], capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C"))
    if check and result.returncode:
        sys.exit(f"install-packages: {' '.join(command[:2])} failed:\n{result.stderr}")
    return result


class Apt:
    """apt-cache and apt-get, sharing one package cache for the run (this machine keeps none, and
    building it from the lists is most of what each call would cost)."""

    def __init__(self, scratch, preferences):
        self.scratch, self.preferences = scratch, preferences
        self.cache = ["-o", f"Dir::Cache::pkgcache={scratch}/pkgcache.bin",
                      "-o", f"Dir::Cache::srcpkgcache={scratch}/srcpkgcache.bin"]

    def __call__(self, tool, *args, check=True):
        return run(tool, *args, check=check, options=self.cache)

    def policy(self, pairs, native):
        names = [n if a == native else f"{n}:{a}" for n, a in pairs]
        return parse_policy(self("apt-cache", "policy", *names).stdout, native) if names else {}

    def plan(self, packages, options, records):
        """What the install would do with `records` in place of the preferences file. The summary of
        --print-uris says it and installs nothing; apt-get -s would also order the whole install,
        which takes several times longer."""
        parts = os.path.join(self.scratch, "preferences.d")
        os.makedirs(parts, exist_ok=True)
        for name in os.listdir(parts):
            os.remove(os.path.join(parts, name))
        here = os.path.dirname(self.preferences)
        for name in os.listdir(here) if os.path.isdir(here) else []:
            if os.path.join(here, name) != self.preferences:
                os.symlink(os.path.join(here, name), os.path.join(parts, name))
        with open(os.path.join(parts, os.path.basename(self.preferences)), "w") as f:
            f.write(render(records))
        return self("apt-get", "--print-uris", "--allow-downgrades", "-o", "APT::Get::Show-Versions=1",
                     "-o", f"Dir::Etc::PreferencesParts={parts}", "install", *options, *packages, check=False)


def resolve(apt, packages, options, native, arches):
    """The pins the install of `packages` needs, as (lines to print, all records of the preferences
    file), or None when nothing changes; SystemExit when the install cannot go through."""
    # Where each package may be: its architectures among the install's dependencies (this machine's
    # and those the install names), and where it is installed already.
    wanted = {native} | {p.partition(":")[2] for p in packages if ":" in p}
    depends = apt("apt-cache", "depends", "--recurse", "--no-suggests", "--no-conflicts", "--no-breaks",
                  "--no-replaces", "--no-enhances", *(["--no-recommends"] if options else []), *packages,
                  check=False)
    if depends.returncode:
        return None  # a name apt does not know: the install itself says so
    spread = {}
    for name, arch in parse_closure(depends.stdout, native):
        if arch in wanted:
            spread.setdefault(name, set()).add(arch)
    status = run("dpkg-query", "-W", "-f", "${Package} ${Architecture} ${db:Status-Status} ${source:Package}\n")
    installed = {(n, a): source for n, a, state, source in (line.split() for line in status.stdout.splitlines())
                 if state == "installed" and a in arches}
    for name, arch in installed:
        if name in spread:
            spread[name].add(arch)
    spread = {name: where for name, where in spread.items() if len(where) > 1}
    tables = apt.policy([(n, a) for n, where in spread.items() for a in where], native)

    before = read_records(open(apt.preferences).read()) if os.path.exists(apt.preferences) else {}
    companions = {p: {n for n in pinned_names(r) if n.partition(":")[0] != p} for p, r in before.items()}
    # The dependencies hold every alternative: apt's plan says which packages the install puts on
    # more than one architecture, and only those are pinned. A package built with a pinned one that
    # the pin would take away (libssl-dev, which needs its libssl3 exactly) follows it instead.
    for _ in range(5):
        records, pins, errors = dict(before), {}, {}
        for name, where in sorted(spread.items()):
            records.pop(name, None)  # no skew (any more): apt keeps the architectures together itself
            outcome = decide(name, {a: tables.get((name, a), Table()) for a in where}, native)
            if isinstance(outcome, Pin):
                outcome.companions = tuple(sorted(companions.get(name, ())))
                pins[name], records[name] = outcome, outcome.record()
            elif outcome:
                errors[name] = outcome
        if records == before and not errors:
            return None
        plan = apt.plan(packages, options, records)
        if plan.returncode:
            break
        changes, removals = parse_plan(plan.stdout, native)
        present = (installed.keys() | changes) - removals
        narrowed = {n: {a for a in where if (n, a) in present} for n, where in spread.items()}
        narrowed = {n: where for n, where in narrowed.items() if len(where) > 1}
        sources = {}
        for p in sorted(pins):
            for a in pins[p].architectures:
                if (p, a) in installed:
                    sources.setdefault(installed[(p, a)], []).append(pins[p])
        followers = [(n, a) for n, a in removals & installed.keys()
                     if installed[(n, a)] in sources and n not in pins]
        follow = {}
        for (n, a), table in apt.policy(followers, native).items():
            for pin in sources[installed[(n, a)]]:
                if pin.version in table.offers or pin.version == table.installed:
                    follow.setdefault(pin.package, set()).add(f"{n}:{a}")
                    break
        if narrowed == spread and not follow:
            break
        spread = narrowed
        for package, names in follow.items():
            companions.setdefault(package, set()).update(names)

    if plan.returncode:
        named = [e for n, e in errors.items() if re.search(rf"\b{re.escape(n)}\b", plan.stdout + plan.stderr)]
        raise SystemExit("\n".join(f"install-packages: {e}" for e in named) or
                         f"install-packages: apt cannot install {' '.join(packages)}:\n"
                         f"{plan.stdout[-4000:]}{plan.stderr}")
    lost = sorted(f"{n}:{a}" for n, a in removals & installed.keys())
    if lost:
        raise SystemExit(f"install-packages: keeping {', '.join(sorted(pins))} at one version on every "
                         f"architecture would remove {', '.join(lost)}; nothing was installed")
    if records == before:
        return None
    lines = [pins[p].line() for p in sorted(pins) if records.get(p) != before.get(p)]
    lines += [f"unpinned {p}: its architectures' lists agree again"
              for p in sorted(before.keys() - records.keys())]
    return lines, records


def main(argv):
    parser = argparse.ArgumentParser(description="Pins the Multi-Arch \"same\" packages an install needs.")
    parser.add_argument("--dry-run", action="store_true", help="print what would be pinned, change nothing")
    parser.add_argument("--preferences", default=PREFERENCES, help="the apt preferences file of the pins")
    parser.add_argument("--no-install-recommends", action="store_true", help="as the install will be run")
    parser.add_argument("packages", nargs="+")
    args = parser.parse_args(argv)
    native = run("dpkg", "--print-architecture").stdout.strip()
    arches = {native} | set(run("dpkg", "--print-foreign-architectures").stdout.split())
    if len(arches) == 1:
        return 0
    options = ["--no-install-recommends"] if args.no_install_recommends else []
    with tempfile.TemporaryDirectory() as scratch:
        outcome = resolve(Apt(scratch, args.preferences), args.packages, options, native, arches)
    if outcome is None:
        return 0
    lines, records = outcome
    print("\n".join(lines))
    if not args.dry_run:
        if records:
            os.makedirs(os.path.dirname(args.preferences), exist_ok=True)
            with open(args.preferences, "w") as f:
                f.write(render(records))
        elif os.path.exists(args.preferences):
            os.remove(args.preferences)
        print(f"install-packages: the pins are in {args.preferences}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
