"""swp-host itself: its options, its settings file, loading the plug-in, and a start and stop."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    BUILD_DIR, HOST_EXE, LIBRARY_WITHOUT_ENTRY, UNDER_WINE, Control, Server, console_text, default_cache_folder,
    file_is_private, host_command, host_environment, host_path, make_tree, stop_process, unprivileged, wait_until)

OPTIONS = ["--index", "--port", "--bind", "--user", "--password", "--log", "--no-log", "--no-download",
           "--disk-access", "--no-folder-sizes", "--index-file", "--no-index-file", "--settings", "--plugin",
           "--debug", "--verbose", "--options-page", "--options", "--width", "--height", "--help", "--manual-page",
           "--version", "--set"]


def read_text(path):
    with open(path, newline="") as text:
        return text.read()


class HostProcess(unittest.TestCase):
    """Runs swp-host to its end with private settings and state folders."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-host-")
        self.settings_path = os.path.join(self.home, "settings.ini")

    def tearDown(self):
        # Folders a test made unreadable are opened again, so that an ordinary user can remove them.
        for folder, children, _ in os.walk(self.home):
            for child in children:
                os.chmod(os.path.join(folder, child), 0o755)
        shutil.rmtree(self.home, ignore_errors=True)

    def run_host(self, args, timeout=60):
        result = subprocess.run(host_command(["--settings", self.settings_path] + list(args)),
                                stdin=subprocess.DEVNULL, capture_output=True, env=host_environment(self.home),
                                timeout=timeout)
        return result.returncode, console_text(result.stdout), console_text(result.stderr)


class CommandLine(HostProcess):
    def test_help_documents_every_option(self):
        for flag in ("--help", "-h"):
            status, out, _ = self.run_host([flag])
            self.assertEqual(status, 0, flag)
            for option in OPTIONS:
                self.assertIn(option, out)

    def test_help_names_the_files_as_the_platform_does(self):
        status, out, _ = self.run_host(["--help"])
        self.assertEqual(status, 0)
        if UNDER_WINE:
            self.assertIn("(default: %LOCALAPPDATA%\\swp-host\\index)", out)
            for linux in ("$XDG", "~/", "/etc/", "/var/", "SIGTERM"):
                self.assertNotIn(linux, out)
        else:
            self.assertIn("(default: $XDG_CACHE_HOME/swp-host/index)", out)

    def test_version(self):
        status, out, _ = self.run_host(["--version"])
        self.assertEqual(status, 0)
        self.assertEqual(out, "swp-host 1.0.1.3\n")

    def test_bad_options_and_values_exit_two_with_a_message(self):
        cases = [(["--port", "70000"], "70000"),
                 (["--port"], "--port"),
                 (["--frobnicate"], "--frobnicate"),
                 (["--set", "colour=blue"], "colour"),
                 (["--set", "allow_ftp_port=yes"], "allow_ftp_port"),
                 (["--width", "-3"], "--width")]
        for args, named in cases:
            status, out, err = self.run_host(args)
            self.assertEqual(status, 2, args)
            self.assertIn(named, err, args)
            self.assertNotIn("listening on", err, args)
        self.assertFalse(os.path.exists(self.settings_path))


class SettingsFile(HostProcess):
    def test_a_bad_settings_file_names_its_line_exits_two_and_is_left_alone(self):
        for text in ("[swp]\nport=2121\nthis line means nothing\n", "[swp]\nenabled=1\nport=99999\n",
                     "[swp]\n\nport=65536\n", "[host]\n\nindex=relative/folder\n", "[swp]\nport=2121\nprot=3161\n"):
            with open(self.settings_path, "w") as settings:
                settings.write(text)
            status, _, err = self.run_host(["--port", "0", "--bind", "127.0.0.1"])
            self.assertEqual(status, 2, err)
            self.assertIn(self.settings_path + ":3:", err)
            self.assertNotIn("listening on", err)
            self.assertEqual("did you mean port?" in err, "prot" in text, err)
            with open(self.settings_path) as settings:
                self.assertEqual(settings.read(), text)

    def test_a_settings_path_that_is_a_folder_exits_two(self):
        os.makedirs(self.settings_path)
        status, _, err = self.run_host(["--port", "0", "--bind", "127.0.0.1"])
        self.assertEqual(status, 2, err)
        self.assertIn(self.settings_path, err)


class IndexRoots(HostProcess):
    def test_an_index_that_cannot_be_built_exits_two_with_the_reason(self):
        first, second = os.path.join(self.home, "a", "same"), os.path.join(self.home, "b", "same")
        os.makedirs(first)
        os.makedirs(second)
        missing, plain = os.path.join(self.home, "missing"), os.path.join(self.home, "plain")
        with open(plain, "w") as out:
            out.write("x")
        for args, reason in ((["--index", first, "--index", second], 'two indexed folders have the name "same"'),
                             (["--index", first + "=x", "--index", second + "=x"], 'the name "x"'),
                             (["--index", missing], 'cannot index "%s": it does not exist' % host_path(missing)),
                             (["--index", plain], 'cannot index "%s": not a folder' % host_path(plain))):
            status, _, err = self.run_host(args + ["--port", "0", "--bind", "127.0.0.1"])
            self.assertEqual(status, 2, err)
            self.assertNotIn("listening on", err)
            self.assertIn(reason, err)

    # Runs the host as another user, whom Wine would need a prefix of its own for.
    @unittest.skipIf(UNDER_WINE, "about Linux permissions")
    def test_unreadable_folders_are_named_and_an_unreadable_root_is_an_error(self):
        tree = make_tree(os.path.join(self.home, "tree"), {"open/a.txt": b"a", "closed/b.txt": b"b", "shut": None})
        for folder in ("closed", "shut"):
            os.chmod(os.path.join(tree, folder), 0)
        os.chmod(self.home, 0o755)
        with Server(tree, args=["--no-log"], as_user=True) as server:
            self.assertEqual(server.stop(), 0)
            err = server.stderr_text()
        self.assertIn("(2 skipped)", err)
        for folder in ("closed", "shut"):
            self.assertIn("swp-host: skipped %s: cannot be read: permission denied (error 5)\n"
                          % os.path.join(tree, folder), err)

        closed = os.path.join(tree, "closed")
        result = subprocess.run(unprivileged([HOST_EXE, "--settings", self.settings_path, "--index", closed,
                                              "--port", "0", "--bind", "127.0.0.1", "--no-log"]),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        err = result.stderr.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 2, err)
        self.assertIn('cannot index "%s": permission denied (error 5)' % closed, err)
        self.assertNotIn("listening on", err)


class PluginLoading(HostProcess):
    def test_a_missing_plugin_exits_two(self):
        missing = os.path.join(self.home, "no-such-plugin.so")
        status, _, err = self.run_host(["--plugin", missing, "--port", "0", "--bind", "127.0.0.1"])
        self.assertEqual(status, 2, err)
        self.assertIn(missing, err)

    def test_a_library_without_the_entry_point_exits_two(self):
        status, _, err = self.run_host(["--plugin", LIBRARY_WITHOUT_ENTRY, "--port", "0", "--bind", "127.0.0.1"])
        self.assertEqual(status, 2, err)
        self.assertIn("sorrelwick_plugin_proc", err)

    def test_a_file_that_is_no_library_exits_two(self):
        fake = os.path.join(self.home, "fake.so")
        with open(fake, "w") as out:
            out.write("not a library\n")
        status, _, err = self.run_host(["--plugin", fake, "--port", "0", "--bind", "127.0.0.1"])
        self.assertEqual(status, 2, err)
        self.assertIn(fake + " cannot be loaded: it is no library for this machine (error 193)", err)


class Serving(unittest.TestCase):
    def setUp(self):
        self.tree = tempfile.mkdtemp(prefix="swp-e2e-host-tree-")

    def tearDown(self):
        shutil.rmtree(self.tree, ignore_errors=True)

    def test_start_listen_log_and_stop(self):
        with Server(self.tree) as server:
            self.assertEqual(len(server.listeners), 1)
            address, port = server.listeners[0]
            self.assertEqual(address, "127.0.0.1")
            self.assertGreater(port, 0)
            server.wait_for_log("SWP server online.\r\n")
            self.assertEqual(server.stop(), 0)
            self.assertTrue(server.log_text().endswith(": SWP server offline.\r\n"), server.log_text())

    def test_the_saved_index_is_kept_where_the_platform_keeps_such_files(self):
        with Server(self.tree, default_index_file=True) as server:
            self.assertEqual(server.stop(), 0)
            saved = os.path.join(default_cache_folder(server.home), "index")
            try:
                self.assertTrue(file_is_private(saved), saved)
            finally:
                for path in (saved, saved + ".lock"):  # under Wine in the prefix all tests share
                    if os.path.exists(path):
                        os.remove(path)

    def test_passive_data_listeners_are_not_announced(self):
        with Server(self.tree) as server:
            with Control(server.port) as control:
                control.login()
                self.assertTrue(control.command("PASV").startswith("227 "))
                self.assertTrue(control.command("EPSV").startswith("229 "))
            self.assertEqual(server.stop(), 0)
            self.assertEqual(server.stderr_text().count("listening on"), 1, server.stderr_text())

    def test_sigint_stops_too(self):
        with Server(self.tree) as server:
            server.wait_for_log("SWP server online.\r\n")
            self.assertEqual(stop_process(server.process, signal_number=signal.SIGINT), 0)
            self.assertIn("SWP server offline.\r\n", server.log_text())

    def test_a_run_that_changes_no_setting_writes_no_settings_file(self):
        with Server(self.tree) as server:
            settings_path = server.settings_path
            self.assertEqual(server.stop(), 0)
            self.assertFalse(os.path.exists(settings_path))
        # A folder that cannot hold the file is no trouble either, as nothing is written.
        blocker = os.path.join(self.tree, "a-file")
        with open(blocker, "w") as out:
            out.write("x")
        with Server(self.tree, args=["--settings", os.path.join(blocker, "settings.ini")]) as server:
            self.assertEqual(server.stop(), 0)
            self.assertNotIn("cannot be written", server.stderr_text())

    def test_the_console_shows_listeners_and_activity_and_traces_only_with_debug(self):
        for args in ([], ["--debug"]):
            with Server(self.tree, args=args) as server:
                with Control(server.port) as control:
                    control.login()
                    self.assertTrue(control.command("PASV").startswith("227 "))
                    self.assertEqual(control.command("QUIT"), "221 Goodbye.\r\n")
                    self.assertTrue(control.is_closed())
                server.wait_for_log("Disconnected.\r\n")
                self.assertEqual(server.stop(), 0)
                err = server.stderr_text()
            self.assertIn("swp-host: listening on ", err)
            self.assertIn("SWP server online.", err)
            self.assertIn("Disconnected.", err)
            self.assertEqual("bind to family 2, protocol 6, socktype 1" in err, args == ["--debug"], err)

    def test_a_port_in_use_is_named_in_words(self):
        with Server(self.tree) as first:
            with Server(self.tree, args=["--port", str(first.port)], expect_listen=False) as second:
                self.assertEqual(second.process.wait(timeout=60), 1)
                second.stop()
                # Said once, in words first, with the plug-in's dialog beneath; no traces.
                self.assertIn("swp-host: cannot listen on 127.0.0.1:%d: port %d is already in use (error 10048)\n"
                              "swp-host: Unable to start the FTP server. Unable to bind the listening socket: error "
                              "10048.\n" % (first.port, first.port), second.stderr_text())
                for trace in ("bind failed", "dialog", "Sorrelwick", "SWP server offline."):
                    self.assertNotIn(trace, second.stderr_text())

    def test_the_settings_file_names_the_folders(self):
        home = tempfile.mkdtemp(prefix="swp-e2e-host-settings-")
        try:
            settings_path = os.path.join(home, "settings.ini")
            text = "[swp]\nport=21\n[host]\nindex=%s=served\n" % host_path(self.tree)
            with open(settings_path, "w") as settings:
                settings.write(text)
            with Server(None, args=["--settings", settings_path]) as server:
                with Control(server.port) as control:
                    control.login()
                    self.assertEqual(control.command("CWD /served"), '250 CWD successful. "/served" is current directory.\r\n')
                self.assertEqual(server.stop(), 0)
            with open(settings_path) as settings:
                self.assertEqual(settings.read(), text)
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def test_stored_settings_are_used_and_set_overrides_them_for_the_run(self):
        home = tempfile.mkdtemp(prefix="swp-e2e-host-settings-")
        try:
            settings_path = os.path.join(home, "settings.ini")
            with open(settings_path, "w") as settings:
                settings.write("[swp]\nwelcome_message=Stored banner\n")
            with Server(self.tree, args=["--settings", settings_path]) as server:
                with Control(server.port) as control:
                    self.assertEqual(control.banner, "220 Stored banner\r\n")
                self.assertEqual(server.stop(), 0)
            with Server(self.tree, args=["--settings", settings_path, "--set", "welcome_message=Hi%nthere"]) as server:
                with Control(server.port) as control:
                    self.assertEqual(control.banner, "220-Hi\r\n220 there\r\n")
                self.assertEqual(server.stop(), 0)
            with open(settings_path) as settings:
                self.assertIn("welcome_message=Stored banner\n", settings.read())
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def test_an_oversized_log_is_trimmed_to_its_newest_lines_when_opened(self):
        home = tempfile.mkdtemp(prefix="swp-e2e-host-log-")
        try:
            log_path = os.path.join(home, "activity.log")
            old = "".join("%04d an older line of the activity log\r\n" % number for number in range(200))
            with open(log_path, "w", newline="") as log:
                log.write(old)
            args = ["--log", log_path, "--set", "log_max_size=1000", "--set", "log_delta_size=200"]
            with Server(self.tree, args=args) as server:
                wait_until(lambda: "SWP server online." in read_text(log_path), what="the online line")
                self.assertEqual(server.stop(), 0)
            kept, _, new = read_text(log_path).partition("SWP server online.")
            kept = kept[:kept.rfind("\r\n") + 2]
            self.assertTrue(old.endswith(kept))
            self.assertLessEqual(len(kept), 800)
            self.assertGreater(len(kept), 800 - len("0000 an older line of the activity log\r\n"))
            self.assertRegex(kept, r"^\d{4} an older line")
            self.assertTrue(new.endswith(": SWP server offline.\r\n"), new)
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def test_a_start_without_a_listener_names_the_name_and_exits_one(self):
        with Server(self.tree, bind="no-such-host.invalid,", expect_listen=False) as server:
            self.assertEqual(server.process.wait(timeout=60), 1)
            wait_until(lambda: "cannot listen on" in server.stderr_text(), what="the explanation")
            self.assertIn('swp-host: cannot listen on "no-such-host.invalid": ', server.stderr_text())
            self.assertNotIn("listening on", server.stderr_text())


class OptionsPage(HostProcess):
    # Windows makes the page's controls only on a desktop, which the Wine prefix of the servers runs
    # without; tests/windows/test_options_window.py shows the page on a virtual display instead.
    @unittest.skipIf(UNDER_WINE, "needs a desktop")
    def test_drawing_the_page_needs_the_settings_alone(self):
        tree = make_tree(os.path.join(self.home, "tree"), {"a.txt": b"a"})
        log_path = os.path.join(self.home, "activity.log")
        svg_path = os.path.join(self.home, "page.svg")
        with open(self.settings_path, "w") as settings:
            settings.write("[swp]\nenabled=1\nport=0\nlog_file_name=%s\n[host]\nindex=%s\n" % (log_path, tree))
        status, _, err = self.run_host(["--options-page", svg_path])
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")  # neither indexed nor served
        self.assertFalse(os.path.exists(log_path))
        with open(svg_path) as drawing:
            svg = drawing.read()
        self.assertIn('data-id="1000"', svg)
        self.assertRegex(svg, r'data-id="1000"[^>]*data-checked="1"')  # the stored value, though not started
        self.assertRegex(svg, r'data-id="1006"[^>]*data-enabled="1"')
        # Each label is drawn as wide as the layout measured it, inside its own box.
        labels = re.findall(r'<g class="label" data-id="(\d+)" data-x="(\d+)" data-y="\d+" data-width="(\d+)".*?'
                            r'<text [^>]*textLength="(\d+)"', svg, re.S)
        self.assertEqual(len(labels), 7, svg)
        for control, x, width, text_length in labels:
            self.assertLessEqual(int(text_length), int(width), control)


if __name__ == "__main__":
    unittest.main()
