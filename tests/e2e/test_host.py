"""swp-host itself: its options, its settings file, loading the plug-in, and a start and stop."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    LIBRARY_WITHOUT_ENTRY, Control, Server, console_text, host_command, host_environment, stop_process, wait_until)

OPTIONS = ["--index", "--port", "--bind", "--user", "--password", "--log", "--no-log", "--no-download",
           "--disk-access", "--no-folder-sizes", "--settings", "--plugin", "--verbose", "--options-page",
           "--options", "--width", "--height", "--help", "--version", "--set"]


def read_text(path):
    with open(path, newline="") as text:
        return text.read()


class HostProcess(unittest.TestCase):
    """Runs swp-host to its end with private settings and state folders."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-host-")
        self.settings_path = os.path.join(self.home, "settings.ini")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def run_host(self, args, timeout=60):
        result = subprocess.run(host_command(["--settings", self.settings_path] + list(args)),
                                stdin=subprocess.DEVNULL, capture_output=True, env=host_environment(self.home),
                                timeout=timeout)
        return result.returncode, console_text(result.stdout), console_text(result.stderr)


class CommandLine(HostProcess):
    def test_help_documents_every_option(self):
        status, out, _ = self.run_host(["--help"])
        self.assertEqual(status, 0)
        for option in OPTIONS:
            self.assertIn(option, out)

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
        text = "[swp]\nport=2121\nthis line means nothing\n"
        with open(self.settings_path, "w") as settings:
            settings.write(text)
        status, _, err = self.run_host(["--port", "0", "--bind", "127.0.0.1"])
        self.assertEqual(status, 2, err)
        self.assertIn(self.settings_path + ":3:", err)
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
        for args in (["--index", first, "--index", second],
                     ["--index", first + "=x", "--index", second + "=x"],
                     ["--index", os.path.join(self.home, "missing")]):
            status, _, err = self.run_host(args + ["--port", "0", "--bind", "127.0.0.1"])
            self.assertEqual(status, 2, err)
            self.assertNotIn("listening on", err)
            self.assertGreater(len(err.strip()), 0)


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
        self.assertIn(fake, err)


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

    def test_the_settings_file_keeps_stored_values_and_not_the_runs_options(self):
        with Server(self.tree) as server:
            settings_path = server.settings_path
            self.assertEqual(server.stop(), 0)
            with open(settings_path) as settings:
                text = settings.read()
        lines = text.splitlines()
        self.assertEqual(lines[0], "[swp]")
        keys = [line.split("=", 1)[0] for line in lines[1:]]
        # port, bindings, log_file_name and enabled were given for the run only.
        self.assertEqual(keys, ["welcome_message", "username", "password", "logging_enabled", "log_max_size",
                                "log_delta_size", "allow_file_download", "allow_ftp_port",
                                "check_ftp_data_connection_ip", "allow_disk_access"])
        self.assertIn("log_max_size=4194304", lines)

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

    def test_a_start_without_a_listener_prints_the_dialog_and_exits_one(self):
        with Server(self.tree, bind="no-such-host.invalid,", expect_listen=False) as server:
            self.assertEqual(server.process.wait(timeout=60), 1)
            wait_until(lambda: "opened no listening socket" in server.stderr_text(), what="the explanation")
            self.assertNotIn("listening on", server.stderr_text())


if __name__ == "__main__":
    unittest.main()
