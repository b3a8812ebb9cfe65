"""The set-up's choice of versions for Multi-Arch "same" libraries whose package lists disagree across
architectures, fed with apt's own output recorded on a Debian 12 machine whose i386 and arm64 lists
lagged the native security updates (the mirror's address replaced)."""

import itertools
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import multiarch_pins  # noqa: E402


def recorded(name):
    with open(os.path.join(HERE, "data", name)) as f:
        return f.read()


class DecisionTest(unittest.TestCase):
    tables = multiarch_pins.parse_policy(recorded("apt-cache-policy.txt"), "amd64")

    def decide(self, package, *arches):
        return multiarch_pins.decide(package, {a: self.tables[(package, a)] for a in arches}, "amd64")

    def test_pins_the_newest_version_every_architecture_offers(self):
        cases = [
            # installed 3.0.19 is in no list; the native lists' newest (3.0.22) is not in i386's
            ("libssl3", ("amd64", "i386"), "3.0.20-1~deb12u2"),
            ("libssl3", ("i386", "arm64", "amd64"), "3.0.20-1~deb12u2"),
            # the installed version stays: only i386 offers nothing newer (an epoch in the version)
            ("zlib1g", ("amd64", "i386"), "1:1.2.13.dfsg-1"),
            # the installed security update is not in i386's lists: the native package goes down
            ("libpcre2-8-0", ("amd64", "i386"), "10.42-1"),
            ("linux-libc-dev", ("amd64", "arm64"), "6.1.176-1"),
        ]
        for package, arches, version in cases:
            with self.subTest(package=package, arches=arches):
                pin = self.decide(package, *arches)
                self.assertIsInstance(pin, multiarch_pins.Pin)
                self.assertEqual(pin.version, version)
                self.assertEqual(pin.architectures[0], "amd64")
                self.assertEqual(sorted(pin.architectures), sorted(arches))

    def test_an_installed_version_newer_than_every_list_counts_as_what_apt_keeps(self):
        # A machine updated from a newer mirror than the one it reads now: apt keeps 3.0.22 (it
        # never goes down below priority 1000), so the foreign 3.0.20 cannot join it without a pin.
        native = multiarch_pins.Table("3.0.22-1~deb12u2", {"3.0.20-1~deb12u2": 500})
        i386 = self.tables[("libssl3", "i386")]
        pin = multiarch_pins.decide("libssl3", {"amd64": native, "i386": i386}, "amd64")
        self.assertEqual(pin.version, "3.0.20-1~deb12u2")

    def test_leaves_alone_what_apt_keeps_together_by_itself(self):
        # Both lists' newest is 2.36-9+deb12u14 (the native security list holds an older one).
        self.assertIsNone(self.decide("libc6", "amd64", "i386"))
        # Where the package exists on one architecture only, there is nothing to keep together.
        self.assertIsNone(multiarch_pins.decide(
            "libssl3", {"amd64": self.tables[("libssl3", "amd64")], "i386": multiarch_pins.Table()}, "amd64"))

    def test_says_what_it_pinned_and_why(self):
        self.assertEqual(
            self.decide("libssl3", "amd64", "i386").line(),
            "pinned libssl3 to 3.0.20-1~deb12u2 for amd64 and i386: amd64 would take 3.0.22-1~deb12u2 "
            "(has 3.0.19-1~deb12u2), i386 would take 3.0.20-1~deb12u2")

    def test_no_common_version_names_the_package_and_each_architectures_versions(self):
        error = self.decide("libcgsi-gsoap1", "amd64", "i386")
        self.assertIsInstance(error, str)
        self.assertIn("libcgsi-gsoap1 has no version that amd64 and i386 can both install", error)
        self.assertIn("amd64's lists offer 1.3.11-2+b4", error)
        self.assertIn("i386's lists offer 1.3.11-2+b3", error)


class VersionOrderTest(unittest.TestCase):
    def test_orders_versions_as_dpkg_does(self):
        versions = ["1:1.2.13.dfsg-1", "1.2.13.dfsg-1+deb12u1", "3.0.20-1~deb12u2", "3.0.20-1", "3.0.20-1+b1",
                    "10.42-1", "6.1.176-1", "6.1.94-1", "1.0~rc1", "1.0", "1.0-0", "2:0.1", "1.2a", "1.2+",
                    "1.3~pre20220315-df4ab006-3+b1", "1.3~pre20220315-df4ab006-3"]
        for a, b in itertools.combinations(versions, 2):
            with self.subTest(a=a, b=b):
                dpkg = [subprocess.run(["dpkg", "--compare-versions", a, op, b]).returncode == 0
                        for op in ("lt", "gt")]
                ours = multiarch_pins.compare_versions(a, b)
                self.assertEqual([ours < 0, ours > 0], dpkg)


class PlanTest(unittest.TestCase):
    def test_reads_what_the_install_would_change_and_remove(self):
        changes, removals = multiarch_pins.parse_plan(recorded("apt-get-print-uris.txt"), "amd64")
        self.assertEqual(changes, {("libpcre2-8-0", "i386"), ("libssl3", "i386"), ("libpq5", "amd64"),
                                   ("libssl3", "amd64"), ("libpcre2-8-0", "amd64")})
        # Not the packages apt merely no longer needs, which it lists too.
        self.assertEqual(removals,
                         {("libpq-dev", "amd64"), ("libssl-dev", "amd64"), ("libxmlsec1-dev", "amd64")})


class RecordTest(unittest.TestCase):
    def test_apt_reads_the_pin_and_the_next_run_reads_it_back(self):
        # dpkg is installed everywhere; apt gives the pinned version (from dpkg's status) 1001.
        version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "dpkg"], capture_output=True,
                                 text=True, check=True).stdout
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        pin = multiarch_pins.Pin("dpkg", version, (arch, "i386"), "", ("dpkg-dev:" + arch,))
        records = {"dpkg": pin.record()}
        with tempfile.NamedTemporaryFile("w", suffix=".pref") as f:
            f.write(multiarch_pins.render(records))
            f.flush()
            policy = subprocess.run(["apt-cache", "-o", f"Dir::Etc::Preferences={f.name}", "policy", "dpkg"],
                                    capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"), check=True)
        self.assertRegex(policy.stdout, rf"\*\*\* {version.replace('+', '[+]')} 1001\n")
        read = multiarch_pins.read_records(multiarch_pins.render(records))
        self.assertEqual(read, records)
        self.assertEqual(multiarch_pins.pinned_names(read["dpkg"]), [f"dpkg:{arch}", "dpkg:i386", f"dpkg-dev:{arch}"])


if __name__ == "__main__":
    unittest.main()
