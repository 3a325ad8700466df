"""swp-host.exe --options under Wine on an Xvfb display of the test's own: the page as the screen
shows it, checked against the page layout at 500 layout units wide (96 per inch, so one unit is one
pixel), and Restore Defaults and Apply driven through the window's buttons."""

import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from swp_harness import BUILD_DIR, LISTENING, Control, console_text, host_command, probe, wait_until  # noqa: E402

WIDTH, HEIGHT = 500, 400
CONTENT = WIDTH - 24  # CW: the page keeps a margin of 12 on the left and right
TIMEOUT = 60.0

SETTINGS = "[swp]\nport=0\nbindings=127.0.0.1\nusername=alice\nlog_max_size=1048576\n"


class Screen:
    """An Xvfb display whose screen is also a file (-fbdir), read as an XWD image."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="swp-xvfb-")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-fbdir", self.folder,
             "-nolisten", "tcp"],
            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + TIMEOUT
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                self.close()
                raise AssertionError("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def capture(self):
        """The whole screen as a function of (x, y) giving (red, green, blue)."""
        with open(os.path.join(self.folder, "Xvfb_screen0"), "rb") as screen:
            data = screen.read()
        header = struct.unpack(">25I", data[:100])
        header_size, bytes_per_line, colours = header[0], header[12], header[19]
        pixels = header_size + colours * 12

        def pixel(x, y):
            value = struct.unpack_from("<I", data, pixels + y * bytes_per_line + x * 4)[0]
            return (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF
        return pixel

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)


def write_png(path, pixel, left, top, width, height):
    """Keeps what the test saw, for a person to look at."""
    rows = b"".join(b"\0" + b"".join(bytes(pixel(left + x, top + y)) for x in range(width)) for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class WinePrefix:
    """A Wine prefix of the test's own, made while DISPLAY names the test's screen. Wine gives a
    prefix's desktop the display of the process that first uses it: in the shared prefix, a server of
    another test (which runs without a display) may have made it, and then no window can be shown."""

    def __init__(self, display):
        self.folder = tempfile.mkdtemp(prefix="swp-wine-options-")
        self.saved = {name: os.environ.get(name) for name in ("WINEPREFIX", "DISPLAY")}
        os.environ.update(WINEPREFIX=self.folder, DISPLAY=display, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        # Not into pipes: the servers Wine starts would hold them open for as long as they run.
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["wineserver", "-p"], check=True, timeout=TIMEOUT, **quiet)
        subprocess.run(["wineboot", "--init"], timeout=600, **quiet)

    def close(self):
        # Ends the prefix's wineserver and whatever it still runs: all of it started here.
        subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        for name, value in self.saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        shutil.rmtree(self.folder, ignore_errors=True)


class OptionsHost:
    """swp-host.exe --options on the screen, with a settings file of its own."""

    def __init__(self, settings_text):
        self.home = tempfile.mkdtemp(prefix="swp-options-")
        self.settings_path = os.path.join(self.home, "settings.ini")
        self.log_path = os.path.join(self.home, "activity.log")
        with open(self.settings_path, "w") as settings:
            settings.write(settings_text)
        env = dict(os.environ, WINEDEBUG="-all")
        command = host_command(["--options", "--settings", self.settings_path, "--index", self.home, "--no-index-file",
                                "--width", str(WIDTH), "--height", str(HEIGHT)])
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env)
        self.stderr = []
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        for raw in iter(self.process.stderr.readline, b""):
            self.stderr.append(console_text(raw))
        self.process.stderr.close()

    def settings(self):
        with open(self.settings_path) as settings:
            return dict(line.split("=", 1) for line in settings.read().splitlines() if "=" in line)

    def close(self):
        if self.process.poll() is None:
            probe("close")
        try:
            status = self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait(timeout=10)
        self.reader.join(timeout=10)
        shutil.rmtree(self.home, ignore_errors=True)
        return status


def window_state():
    """The page's place on the screen and every control of page and window by id, or None while
    no window is shown."""
    answer = probe("state")
    if answer is None:
        return None
    lines = answer.splitlines()
    page = tuple(int(field) for field in lines[0].split()[1:])
    controls = {}
    for line in lines[1:]:
        fields = line.split(" ", 8)
        control = {"class": fields[1], "enabled": fields[2] == "1", "checked": fields[3] == "1",
                   "rect": tuple(int(field) for field in fields[4:8]), "text": fields[8] if len(fields) > 8 else ""}
        controls.setdefault(int(fields[0]), []).append(control)
    return page, controls


def control(state, id, kind=None):
    """A control of the page (or, for the window's own buttons, of the window) by id."""
    candidates = state[1][id]
    return next(c for c in candidates if kind is None or c["class"] == kind)


class PageOnScreen:
    """Reads the page's pixels: `bg` is its background, and a pixel that differs from it belongs to
    a control's border, box or text."""

    def __init__(self, pixel, origin):
        self.pixel = pixel
        self.x0, self.y0 = origin
        self.bg = self.at(WIDTH // 2, 300)

    def at(self, x, y):
        return self.pixel(self.x0 + x, self.y0 + y)

    def inked(self, x, y):
        return self.at(x, y) != self.bg

    def first_inked(self, y, x_from, x_to):
        return next((x for x in range(x_from, x_to) if self.inked(x, y)), None)

    def ink_columns(self, top, height, x_from, x_to):
        return [x for x in range(x_from, x_to) if any(self.inked(x, y) for y in range(top, top + height))]

    def darkest(self, top, height, x_from, x_to):
        return min(sum(self.at(x, y)) for x in range(x_from, x_to) for y in range(top, top + height))

    def frame_problems(self, rect):
        """Where the framed rectangle (x, y, width, height) does not end exactly at its edges."""
        x, y, width, height = rect
        right, bottom = x + width - 1, y + height - 1
        middle_x, middle_y = x + width // 2, y + height // 2
        checks = [("left", (x, middle_y), (x - 1, middle_y)), ("right", (right, middle_y), (right + 1, middle_y)),
                  ("top", (middle_x, y), (middle_x, y - 1)), ("bottom", (middle_x, bottom), (middle_x, bottom + 1)),
                  ("top-left", (x, y + 2), (x - 1, y + 2)), ("bottom-right", (right, bottom - 2), (right + 1, bottom - 2))]
        return [name for name, inside, outside in checks if not self.inked(*inside) or self.inked(*outside)]


class OptionsWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.screen = Screen()
        try:
            cls.prefix = WinePrefix(cls.screen.display)
        except BaseException:
            cls.screen.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()
        cls.screen.close()

    def setUp(self):
        self.host = OptionsHost(SETTINGS)
        try:
            self.state = wait_until(lambda: window_state() or self.host.process.poll() is not None,
                                    timeout=TIMEOUT, interval=0.2, what="the options window")
        except AssertionError:
            self.state = None
        if not isinstance(self.state, tuple):
            status = self.host.close()
            self.fail("no options window (exit %s):\n%s" % (status, "".join(self.host.stderr)))

    def tearDown(self):
        if self.host.process.returncode is None:
            self.assertEqual(self.host.close(), 0, "".join(self.host.stderr))

    def drive(self, *args):
        """Clicks a button or sets a text through swp-probe.exe."""
        self.assertIsNotNone(probe(*args), "swp-probe %s failed" % " ".join(args))

    def text(self, id):
        return control(window_state(), id)["text"]

    def wait_for(self, predicate, what):
        return wait_until(lambda: predicate(window_state()), timeout=TIMEOUT, interval=0.2, what=what)

    def settled_page(self):
        """The page's pixels once two captures in a row agree (the window has been painted)."""
        (x0, y0, width, height) = self.state[0]
        self.assertEqual((width, height), (WIDTH, HEIGHT))
        previous = [None]

        def stable():
            pixel = self.screen.capture()
            rows = [bytes(b for x in range(0, width, 3) for b in pixel(x0 + x, y0 + y)) for y in range(0, height, 3)]
            same = rows == previous[0]
            previous[0] = rows
            return pixel if same and len(set(rows)) > 1 else None
        pixel = wait_until(stable, timeout=TIMEOUT, interval=0.3, what="the page to be painted")
        write_png(os.path.join(BUILD_DIR, "options_page.png"), pixel, x0, y0, width, height)
        return PageOnScreen(pixel, (x0, y0))

    def test_the_page_on_the_screen_follows_the_layout(self):
        page = self.settled_page()
        # The widths that depend on measured texts, read off the screen where only one control is.
        label_column = page.first_inked(33, 12, WIDTH) - 12           # L: the bindings edit's top edge
        browse = CONTENT + 12 - page.first_inked(180, 12, WIDTH)      # B: the browse button's top edge
        size_label = page.first_inked(209, 12, WIDTH) - 12            # S: the size edit's top edge
        restore = CONTENT + 12 - page.first_inked(HEIGHT - 35, 12, WIDTH)  # R: the restore button's top

        expected = {
            1002: (label_column + 12, 33, CONTENT - label_column, 21),
            1006: (label_column + 12, 60, 75, 21),
            1008: (label_column + 12, 87, CONTENT - label_column, 21),
            1010: (label_column + 12, 114, CONTENT - label_column, 21),
            1011: (12, 181, CONTENT - browse - 6, 21),
            1012: (CONTENT - browse + 12, 180, browse, 23),
            1013: (size_label + 12, 209, 75, 21),
            1017: (CONTENT - restore + 12, HEIGHT - 35, restore, 23),
        }
        for id, rect in expected.items():
            self.assertEqual(page.frame_problems(rect), [], "control %d at %s" % (id, rect))
            self.assertEqual(control(self.state, id)["rect"], rect, id)
        self.assertGreaterEqual(browse, 75)
        self.assertGreaterEqual(restore, 75)

        # The label column is the widest label plus 6, the size label's the same: their text ends
        # within it, and the widest one nearly fills it.
        label_ink = [max(page.ink_columns(y, 15, 12, label_column + 12)) for y in (36, 63, 90, 117)]
        self.assertLess(max(label_ink), label_column + 12 - 6 + 1, label_ink)
        self.assertGreater(max(label_ink), label_column + 12 - 6 - 6, label_ink)
        size_ink = page.ink_columns(212, 15, 12, size_label + 12)
        self.assertLess(max(size_ink), size_label + 12 - 6 + 1)
        unit_ink = page.ink_columns(212, 15, size_label + 90, size_label + 94 + size_label)
        self.assertIn(min(unit_ink), range(size_label + 94, size_label + 94 + 4))
        # The three checkboxes' boxes start at the left margin.
        for top in (12, 141, 236):
            self.assertEqual(page.first_inked(top + 7, 0, 40), 12, top)

        # The server runs: its labels are drawn as dark as the enable checkbox's text, not greyed.
        self.assertEqual(page.darkest(12, 15, 30, 120), page.darkest(36, 15, 12, label_column + 6))

    def listening(self, count):
        """The port of the `count`th listening line on the console, once there is one."""
        def find():
            found = [LISTENING.search(line) for line in self.host.stderr if LISTENING.search(line)]
            return found[count - 1] if len(found) >= count else None
        return int(wait_until(find, timeout=TIMEOUT, what="the server to listen").group(2))

    def test_the_page_shows_the_stored_settings_and_the_server_it_runs(self):
        with Control(self.listening(1)) as client:
            self.assertTrue(client.banner.startswith("220"), client.banner)
        self.assertTrue(control(self.state, 1000)["checked"], "the host serves")
        self.assertEqual((self.text(1002), self.text(1006), self.text(1008), self.text(1013)),
                         ("127.0.0.1", "0", "alice", "1024"))
        # No log file named: the box names the one the log goes to.
        self.assertEqual(self.text(1011), probe("folder").strip() + "\\swp-host\\Logs\\SWP_Server_Log.txt")
        for id in range(1001, 1017):
            self.assertTrue(control(self.state, id, "Static" if id == 1001 else None)["enabled"], id)
        self.assertFalse(control(self.state, 1001, "Button")["enabled"], "Apply starts disabled")

    def test_restore_defaults_then_apply_stores_the_page_and_stops_then_starts_the_server(self):
        self.listening(1)
        self.drive("click", "1017")
        self.wait_for(lambda state: control(state, 1006)["text"] == "21", "the default port")
        state = window_state()
        self.assertEqual((control(state, 1008)["text"], control(state, 1013)["text"]), ("", "4096"))
        self.assertTrue(control(state, 1001, "Button")["enabled"], "Apply marks the page changed")
        self.assertFalse(control(state, 1002)["enabled"], "with the server unticked its controls are greyed")
        self.drive("click", "1001")
        self.wait_for(lambda state: not control(state, 1001, "Button")["enabled"], "Apply to be done")
        wait_until(lambda: any("SWP server offline." in line for line in self.host.stderr), timeout=TIMEOUT,
                   what="the server to stop")
        self.assertEqual(self.host.settings().get("enabled"), "0")

        self.drive("set-text", "1002", "127.0.0.1")
        self.drive("set-text", "1006", "0")
        self.drive("set-text", "1011", self.host.log_path)
        self.drive("click", "1000")
        self.wait_for(lambda state: control(state, 1002)["enabled"] and control(state, 1002)["text"] == "127.0.0.1",
                      "the server controls to be enabled and filled")
        self.drive("click", "1001")
        self.wait_for(lambda state: not control(state, 1001, "Button")["enabled"], "Apply to be done")
        with Control(self.listening(2)) as client:
            self.assertTrue(client.banner.startswith("220"), client.banner)
        stored = self.host.settings()
        for key, value in (("enabled", "1"), ("port", "0"), ("bindings", "127.0.0.1"), ("username", ""),
                           ("log_max_size", "4194304"), ("log_file_name", self.host.log_path)):
            self.assertEqual(stored.get(key), value, key)
        # Settings the page left at the values the plug-in was given need not be written.
        for key in ("logging_enabled", "allow_file_download"):
            self.assertIn(stored.get(key), (None, "1"), key)


if __name__ == "__main__":
    unittest.main(verbosity=2)
