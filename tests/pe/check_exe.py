#!/usr/bin/python3
"""Checks the built TovuStabilizer.exe itself: header, hardening, code, entry
point, imports and resources.
Usage: check_exe.py TovuStabilizer.exe TovuStabilizer.map OBJDUMP [icon.ico]"""
import re
import struct
import subprocess
import sys
import unittest
from pathlib import Path

import pefile

EXE = Path(sys.argv[1])
MAP = Path(sys.argv[2])
OBJDUMP = sys.argv[3]
ICO = Path(sys.argv[4]) if len(sys.argv) > 4 else Path(__file__).parents[2] / "res" / "tovu_stabilizer.ico"

EXPECTED_IMPORTS = {
    "KERNEL32.dll": {
        "GetCurrentProcess", "GetProcessAffinityMask", "CreateToolhelp32Snapshot",
        "Process32First", "Process32Next", "OpenProcess", "SetProcessAffinityMask",
        "CloseHandle", "GetLastError", "GetFullPathNameA", "GetStartupInfoA",
        "CreateProcessA", "WaitForSingleObject",
        # Ends the process at once; a returning entry point may linger on loader threads.
        "ExitProcess",
    },
    "USER32.dll": {"wvsprintfA", "MessageBoxA"},
    "ADVAPI32.dll": {"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"},
}

# (width, height, bits per pixel, PNG?) in the group's order
ICON_LAYOUT = [(32, 32, 4, False), (48, 48, 8, False), (32, 32, 8, False), (16, 16, 8, False),
               (256, 256, 32, True), (48, 48, 32, False), (32, 32, 32, False), (16, 16, 32, False)]

RT_ICON, RT_GROUP_ICON = 3, 14

HARDENING_FLAGS = {"DYNAMIC_BASE": 0x40, "NX_COMPAT": 0x100, "NO_SEH": 0x400,
                   "TERMINAL_SERVER_AWARE": 0x8000}
IMAGE_FILE_RELOCS_STRIPPED = 0x1
# Instructions that came with the Pentium Pro or later (a Pentium raises #UD on
# them): conditional moves, P6 floating-point compares, long NOPs, UD2, MMX/SSE.
NOT_ON_A_PENTIUM = re.compile(r"\t(f?cmov\w*|fu?comip?|nop[lw]|ud2|sysenter)\b|%x?mm\d")


def ico_images(data):
    _, kind, count = struct.unpack_from("<HHH", data)
    assert kind == 1
    images = []
    for i in range(count):
        _, _, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append(data[offset:offset + size])
    return images


class Exe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(str(EXE))

    def test_is_a_32_bit_gui_program_for_windows_2000_and_later(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x10B)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2)
        self.assertEqual(self.pe.OPTIONAL_HEADER.MajorSubsystemVersion, 5)
        self.assertEqual(self.pe.OPTIONAL_HEADER.MinorSubsystemVersion, 0)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & 0x2000, "a DLL")

    def test_entry_point_is_tool_entry_itself(self):
        match = re.search(r"^\s+0x([0-9a-f]+)\s+_?ToolEntry\s*$", MAP.read_text(), re.M)
        self.assertIsNotNone(match, "ToolEntry missing from the link map")
        entry = self.pe.OPTIONAL_HEADER.ImageBase + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.assertEqual(entry, int(match.group(1), 16))

    def test_nothing_runs_before_the_entry_point(self):
        tls = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
        self.assertEqual((tls.VirtualAddress, tls.Size), (0, 0))
        names = {s.Name.rstrip(b"\0").decode() for s in self.pe.sections}
        self.assertFalse(names & {".tls", ".CRT", ".ctors", ".init_array"}, names)

    def test_imports_only_what_the_tool_calls(self):
        imports = {entry.dll.decode(): {imp.name.decode() for imp in entry.imports}
                   for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(imports, EXPECTED_IMPORTS)

    def test_is_hardened(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name, bit in HARDENING_FLAGS.items():
            self.assertTrue(flags & bit, f"{name} missing from {flags:#06x}")
        # ASLR needs the relocations to move the image.
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED)
        relocs = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.assertGreater(relocs.Size, 0)
        self.assertTrue(self.pe.DIRECTORY_ENTRY_BASERELOC)

    def test_carries_no_compiler_version_strings(self):
        self.assertEqual(EXE.read_bytes().count(b"GCC:"), 0)

    def test_code_runs_on_a_pentium(self):
        listing = subprocess.run([OBJDUMP, "-d", "-j", ".text", str(EXE)], capture_output=True,
                                 text=True, check=True).stdout
        self.assertGreater(len(listing.splitlines()), 100, "no code disassembled")
        found = [line.strip() for line in listing.splitlines() if NOT_ON_A_PENTIUM.search(line)]
        self.assertEqual(found, [])

    def test_exports_nothing_and_has_no_link_timestamp(self):
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_EXPORT"))
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(str(EXE))
        cls.entries = [
            ((kind.id, item.id), (lang.data.lang, lang.data.sublang,
                                  cls.pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)))
            for kind in cls.pe.DIRECTORY_ENTRY_RESOURCE.entries
            for item in kind.directory.entries
            for lang in item.directory.entries]
        cls.tree = dict(cls.entries)

    def test_holds_one_icon_group_and_its_eight_icons_only(self):
        # so no version block, manifest, dialog or string table either
        self.assertEqual(sorted(self.tree), [(RT_ICON, i) for i in range(1, 9)] + [(RT_GROUP_ICON, 1)])
        self.assertEqual(len(self.entries), 9, "each resource in one language only")

    def test_every_resource_is_language_neutral(self):
        for key, (lang, sublang, _) in self.tree.items():
            self.assertEqual((lang, sublang), (0, 0), key)

    def test_group_lists_the_icons_in_order_and_format(self):
        data = self.tree[(RT_GROUP_ICON, 1)][2]
        _, kind, count = struct.unpack_from("<HHH", data)
        self.assertEqual((kind, count), (1, 8))
        for i, (w, h, bits, is_png) in enumerate(ICON_LAYOUT):
            gw, gh, _, _, _, gbits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
            self.assertEqual((gw or 256, gh or 256, gbits, icon_id), (w, h, bits, i + 1), i)
            image = self.tree[(RT_ICON, icon_id)][2]
            self.assertEqual(len(image), size)
            if is_png:
                self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
                self.assertEqual(struct.unpack_from(">II", image, 16), (w, h))
            else:
                _, bw, bh, _, bbits = struct.unpack_from("<IiiHH", image)
                self.assertEqual((bw, bh, bbits), (w, 2 * h, bits), i)

    def test_icons_are_the_committed_art(self):
        images = ico_images(ICO.read_bytes())
        self.assertEqual([self.tree[(RT_ICON, i + 1)][2] for i in range(8)], images)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
