"""swp.dll, swp-host.exe and swp-search.exe as objdump sees them: the plug-in exports exactly its
entry point, its version resource gives 1.0.1.3 as file and product version, and all three import
only Windows system DLLs and the C runtime."""

import os
import re
import struct
import subprocess
import unittest

BUILD_DIR = os.environ["SWP_BUILD_DIR"]
OBJDUMP = os.environ.get("SWP_OBJDUMP") or "x86_64-w64-mingw32-objdump"
PLUGIN = os.path.join(BUILD_DIR, "swp.dll")
HOST = os.path.join(BUILD_DIR, "swp-host.exe")
CLIENT = os.path.join(BUILD_DIR, "swp-search.exe")

# What a module may import: system DLLs that every Windows has, and its C runtime.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
               "comctl32.dll", "comdlg32.dll", "ws2_32.dll", "ntdll.dll", "msvcrt.dll"}

RT_VERSION = 0x10
VERSION_SIGNATURE = 0xFEEF04BD


def objdump(*args):
    return subprocess.run([OBJDUMP] + list(args), capture_output=True, check=True, timeout=60).stdout.decode()


def exports(private_headers):
    table = private_headers.split("[Ordinal/Name Pointer] Table", 1)[1]
    names = []
    for line in table.splitlines()[1:]:
        match = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
        if not match:
            break
        names.append(match.group(1))
    return names


def imports(private_headers):
    return sorted(name.lower() for name in re.findall(r"DLL Name: (\S+)", private_headers))


def version_resource(path):
    """The bytes of the module's version resource, found through objdump's resource directory."""
    private_headers = objdump("-p", path)
    tree = private_headers.split("The .rsrc Resource Directory section:", 1)[1]
    # The type table's entries come first; the version type's subtree holds one leaf.
    type_at = tree.index("Entry: ID: 0x%06x" % RT_VERSION)
    leaf = re.search(r"Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)", tree[type_at:])
    address, size = int(leaf.group(1), 16), int(leaf.group(2), 16)
    image_base = int(re.search(r"ImageBase\s+([0-9a-f]+)", private_headers).group(1), 16)
    for line in objdump("-h", path).splitlines():
        fields = line.split()
        if len(fields) >= 6 and fields[1] == ".rsrc":
            start = int(fields[3], 16) - image_base
            offset = int(fields[5], 16)
            with open(path, "rb") as module:
                module.seek(offset + address - start)
                return module.read(size)
    raise AssertionError("no .rsrc section in " + path)


def fixed_versions(resource):
    """(file version, product version) of VS_FIXEDFILEINFO as dotted texts."""
    at = resource.index(struct.pack("<I", VERSION_SIGNATURE))
    fields = struct.unpack_from("<IIIIII", resource, at)
    def dotted(high, low):
        return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
    return dotted(fields[2], fields[3]), dotted(fields[4], fields[5])


def string_value(resource, key):
    """A value of the StringFileInfo table (UTF-16, after its key and padding)."""
    encoded = (key + "\0").encode("utf-16-le")
    at = resource.index(encoded) + len(encoded)
    at += (4 - at % 4) % 4
    end = resource.index(b"\0\0", at)
    end += (end - at) % 2
    return resource[at:end].decode("utf-16-le")


class PluginModule(unittest.TestCase):
    def test_exports_only_the_entry_point(self):
        self.assertEqual(exports(objdump("-p", PLUGIN)), ["sorrelwick_plugin_proc"])

    def test_version_resource_gives_1_0_1_3(self):
        resource = version_resource(PLUGIN)
        self.assertEqual(fixed_versions(resource), ("1.0.1.3", "1.0.1.3"))
        self.assertEqual(string_value(resource, "FileVersion"), "1.0.1.3")
        self.assertEqual(string_value(resource, "ProductVersion"), "1.0.1.3")


class Imports(unittest.TestCase):
    def test_only_system_dlls_and_the_c_runtime(self):
        for module in (PLUGIN, HOST, CLIENT):
            imported = imports(objdump("-p", module))
            self.assertIn("kernel32.dll", imported, module)
            self.assertLessEqual(set(imported), SYSTEM_DLLS, module)


if __name__ == "__main__":
    unittest.main(verbosity=2)
