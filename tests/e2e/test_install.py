"""The installation: "cmake --install" into a temporary DESTDIR, the installed files, the installed
swp-host serving on its own libraries, and the systemd unit."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import BUILD_DIR, Control, Server, make_tree  # noqa: E402

PREFIX = "/usr"
UNIT = "usr/lib/systemd/system/swp-host.service"


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="swp-e2e-install-")
        env = dict(os.environ, DESTDIR=cls.root)
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", PREFIX], env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_the_files_and_what_they_say(self):
        self.assertTrue(os.access(self.path("usr/bin/swp-host"), os.X_OK))
        for library in ("libswp.so", "libwin32.so"):
            self.assertTrue(os.path.isfile(self.path("usr/lib/swp-host/" + library)), library)
        with open(self.path("usr/share/man/man1/swp-host.1")) as page:
            manual = page.read()
        self.assertTrue(manual.startswith(".TH SWP-HOST 1 "), manual[:80])
        self.assertIn("\\-\\-manual\\-page", manual)
        with open(self.path("usr/share/man/man1/swp-search.1")) as page:
            client_manual = page.read()
        self.assertTrue(client_manual.startswith(".TH SWP-SEARCH 1 "), client_manual[:80])
        self.assertIn(".SH SEARCH SYNTAX\n", client_manual)
        with open(self.path(UNIT)) as unit_file:
            unit = unit_file.read().splitlines()
        for line in ("LoadCredential=settings.ini:/etc/swp-host/settings.ini",
                     "ExecStart=/usr/bin/swp-host --settings ${CREDENTIALS_DIRECTORY}/settings.ini", "DynamicUser=yes",
                     "ProtectSystem=strict", "NoNewPrivileges=yes", "PrivateTmp=yes", "CapabilityBoundingSet=",
                     "RestartPreventExitStatus=2"):
            self.assertIn(line, unit)
        self.assertEqual(os.stat(self.path("etc/swp-host/settings.ini")).st_mode & 0o777, 0o600)
        with open(self.path("etc/swp-host/settings.ini")) as settings:
            text = settings.read()
        self.assertIn("[host]\n", text)
        self.assertIn("\nport=2121\n", text)

    def test_the_installed_host_serves_with_the_installed_plugin(self):
        host = self.path("usr/bin/swp-host")
        version = subprocess.run([host, "--version"], capture_output=True, timeout=60)
        self.assertEqual(version.stdout, b"swp-host 1.0.1.3\n")
        client = self.path("usr/bin/swp-search")
        tree = make_tree(tempfile.mkdtemp(prefix="swp-e2e-install-tree-"), {"a.txt": b"abc"})
        try:
            # The installed settings file, with the command line's folder and port for this run.
            args = ["--settings", self.path("etc/swp-host/settings.ini"), "--no-log", "--no-index-file"]
            with Server(tree, args=args, executable=host) as server:
                with Control(server.port) as control:
                    control.login()
                    self.assertEqual(control.command("SIZE /%s/a.txt" % os.path.basename(tree)), "200 3\r\n")
                # The installed client finds its library in lib/swp-host too.
                found = subprocess.run([client, "ftp://127.0.0.1:%d" % server.port, "a.txt"], capture_output=True,
                                       timeout=60, env=dict(os.environ, HOME=server.home))
                self.assertEqual((found.returncode, found.stdout), (0, b"/%s/a.txt\n" % os.path.basename(tree).encode()))
                with open("/proc/%d/maps" % server.pid) as maps:
                    mapped = maps.read()
                for library in ("libswp.so", "libwin32.so"):
                    self.assertIn(self.path("usr/lib/swp-host/" + library), mapped)
                self.assertEqual(server.stop(), 0)
                self.assertEqual(os.listdir(server.home), [])  # nothing written: no settings, log or index
        finally:
            shutil.rmtree(tree, ignore_errors=True)

    def test_systemd_accepts_the_unit(self):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is not installed on this machine")
        # Checked outside the temporary root, with its program where the unit can find it.
        folder = tempfile.mkdtemp(prefix="swp-e2e-unit-")
        try:
            with open(self.path(UNIT)) as unit_file:
                unit = unit_file.read().replace("ExecStart=/usr/bin/", "ExecStart=%s/" % self.path("usr/bin"))
            with open(os.path.join(folder, "swp-host.service"), "w") as out:
                out.write(unit)
            check_manual = shutil.which("man") is not None
            env = dict(os.environ, MANPATH=self.path("usr/share/man"))
            result = subprocess.run([analyze, "verify", "--man=%s" % ("yes" if check_manual else "no"),
                                     os.path.join(folder, "swp-host.service")],
                                    capture_output=True, env=env, timeout=120)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.decode(), "")  # not even a warning about a key


if __name__ == "__main__":
    unittest.main()
