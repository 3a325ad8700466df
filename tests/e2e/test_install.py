"""The installation: "cmake --install" into a temporary DESTDIR, the installed files, the installed
swp-host serving on its own libraries, the systemd unit, and the Debian package's maintainer
scripts."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import BUILD_DIR, Control, Server, make_tree, wait_until  # noqa: E402

PREFIX = "/usr"
UNIT = "usr/lib/systemd/system/swp-host.service"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def systemd_runs():
    with open("/proc/1/comm") as init:
        return init.read().strip() == "systemd"


def deb_build(stage):
    """The package built into `stage` (without lintian, which "make deb" runs); its path."""
    subprocess.run(["sh", os.path.join(SOURCE_DIR, "packaging", "make_deb.sh"), BUILD_DIR, stage],
                   env=dict(os.environ, LINTIAN="no"), check=True, stdout=subprocess.DEVNULL, timeout=300)
    return next(os.path.join(stage, name) for name in os.listdir(stage) if name.endswith(".deb"))


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


# dpkg gives the files of a package to root, so only root installs one, even into a folder.
@unittest.skipIf(os.geteuid() != 0, "dpkg installs packages as root only")
class DebianPackage(unittest.TestCase):
    """The package installed, upgraded, removed and purged by dpkg into a root folder of the test's
    own, with the maintainer scripts run outside a chroot (as Debian builds new systems), and then
    the scripts again with systemd faked, to see what each asks of the service."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="swp-e2e-deb-")
        cls.package = deb_build(os.path.join(cls.folder, "stage"))
        cls.scripts = os.path.join(cls.folder, "stage", "root", "DEBIAN")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="root-", dir=self.folder)
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"):
            os.makedirs(os.path.join(self.root, folder))
        for name in ("status", "available"):
            open(os.path.join(self.root, "var/lib/dpkg", name), "w").close()

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def dpkg(self, *args):
        subprocess.run(["dpkg", "--root=" + self.root, "--force-script-chrootless", "--force-depends",
                        "--log=/dev/null"] + list(args), check=True, capture_output=True, timeout=120)

    def test_installing_enables_the_service_and_purging_removes_its_state_and_settings(self):
        enabled = self.path("etc/systemd/system/multi-user.target.wants/swp-host.service")
        self.dpkg("-i", self.package)
        self.assertEqual(os.readlink(enabled), "/lib/systemd/system/swp-host.service")
        self.assertEqual(os.listdir(self.path("srv/ftp")), [])
        self.assertEqual(os.stat(self.path("srv/ftp")).st_mode & 0o777, 0o755)
        self.assertEqual(os.stat(self.path("etc/swp-host/settings.ini")).st_mode & 0o777, 0o600)
        # What the service leaves as it runs (DynamicUser keeps it below private/ and links it).
        for folder, name in (("lib", "Logs/SWP_Server_Log.txt"), ("cache", "index")):
            make_tree(self.path("var/%s/private/swp-host" % folder), {name: b"x"})
            os.symlink("private/swp-host", self.path("var/%s/swp-host" % folder))
        self.dpkg("-i", self.package)  # an upgrade keeps everything
        self.dpkg("-r", "swp-host")
        for kept in ("etc/swp-host/settings.ini", "var/lib/swp-host/Logs/SWP_Server_Log.txt",
                     "var/cache/swp-host/index", "srv/ftp"):
            self.assertTrue(os.path.exists(self.path(kept)), kept)
        self.assertFalse(os.path.exists(self.path("usr/bin/swp-host")))
        self.dpkg("-P", "swp-host")
        for gone in ("etc/swp-host", "var/lib/swp-host", "var/lib/private/swp-host", "var/cache/swp-host",
                     "var/cache/private/swp-host", "srv/ftp", enabled, "etc/systemd/system/swp-host.service"):
            self.assertFalse(os.path.lexists(self.path(gone)), gone)

    def test_the_scripts_start_the_service_restart_it_after_an_upgrade_and_stop_it_on_removal(self):
        # Commands that note their arguments stand for systemd's, a folder for /run/systemd/system.
        fake = os.path.join(self.root, "fake")
        calls = os.path.join(fake, "calls")
        os.makedirs(os.path.join(fake, "run", "systemd", "system"))
        for command in ("deb-systemd-invoke", "deb-systemd-helper", "systemctl"):
            with open(os.path.join(fake, command), "w") as out:
                out.write('#!/bin/sh\necho "%s $*" >> %s\n' % (command, calls))
            os.chmod(os.path.join(fake, command), 0o755)

        def run(script, *args):
            with open(os.path.join(self.scripts, script)) as text:
                faked = text.read().replace('[ -z "${DPKG_ROOT:-}" ] && ', "")
            faked = faked.replace("/run/systemd/system", os.path.join(fake, "run/systemd/system"))
            open(calls, "w").close()
            env = dict(os.environ, PATH=fake + ":" + os.environ["PATH"], DPKG_ROOT=self.root)
            subprocess.run(["sh", "-c", faked, script] + list(args), env=env, check=True, timeout=60)
            with open(calls) as noted:
                return [line for line in noted.read().splitlines() if line.startswith("deb-systemd-invoke")]

        self.assertEqual(run("postinst", "configure", ""), ["deb-systemd-invoke start swp-host.service"])
        self.assertEqual(run("postinst", "configure", "1.0.1.2"), ["deb-systemd-invoke restart swp-host.service"])
        self.assertEqual(run("prerm", "upgrade", "1.0.1.4"), [])
        self.assertEqual(run("prerm", "remove"), ["deb-systemd-invoke stop swp-host.service"])
        self.assertEqual(run("postrm", "remove"), [])

    @unittest.skipUnless(os.path.exists("/proc/1/comm") and systemd_runs(), "systemd does not run this machine")
    def test_on_a_machine_with_systemd_the_installed_service_serves_its_folder(self):
        installed = subprocess.run(["dpkg", "-s", "swp-host"], capture_output=True).returncode == 0
        if installed:
            self.skipTest("swp-host is installed on this machine; the test would replace it")
        subprocess.run(["dpkg", "-i", self.package], check=True, capture_output=True, timeout=300)
        try:
            wait_until(lambda: subprocess.run(["systemctl", "is-active", "--quiet", "swp-host"]).returncode == 0,
                       timeout=60, interval=0.2, what="the service to run")
            with open("/srv/ftp/hello.txt", "w") as out:
                out.write("hello\n")

            def listing():
                result = subprocess.run(["curl", "-s", "ftp://127.0.0.1:2121/ftp/"], capture_output=True, timeout=60)
                return result.returncode == 0 and "hello.txt" in result.stdout.decode()
            wait_until(listing, timeout=60, interval=0.2, what="curl to list the served folder")
        finally:
            if os.path.exists("/srv/ftp/hello.txt"):
                os.remove("/srv/ftp/hello.txt")
            subprocess.run(["dpkg", "-P", "swp-host"], capture_output=True, timeout=300)
        self.assertFalse(os.path.exists("/var/lib/swp-host"))


if __name__ == "__main__":
    unittest.main()
