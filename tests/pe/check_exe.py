#!/usr/bin/python3
"""Checks the built TovuStabilizer.exe itself: header, hardening, code, entry
point, imports and resources.
Usage: check_exe.py TovuStabilizer.exe TovuStabilizer.map OBJDUMP [icon.ico]"""
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

ROOT = Path(__file__).parents[2]
EXE = Path(sys.argv[1])
MAP = Path(sys.argv[2])
OBJDUMP = sys.argv[3]
ICO = Path(sys.argv[4]) if len(sys.argv) > 4 else ROOT / "res" / "tovu_stabilizer.ico"
VERSION = (ROOT / "VERSION").read_text().strip()
COPYRIGHT = next(line for line in (ROOT / "LICENSE").read_text().splitlines() if line.startswith("Copyright "))

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

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

# What Properties (詳細) and Task Manager read, in the one Japanese string table.
VERSION_STRINGS = {
    "CompanyName": "TovuStabilizer contributors",
    "FileDescription": "安定化ツール",
    "FileVersion": VERSION,
    "InternalName": "TovuStabilizer",
    "LegalCopyright": COPYRIGHT,
    "OriginalFilename": "TovuStabilizer.exe",
    "ProductName": "安定化ツール",
    "ProductVersion": VERSION,
}

ASM_V1, ASM_V3 = "urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
# (path from <assembly>, attribute or None for the text) -> value
MANIFEST = [
    ("{v1}assemblyIdentity", "type", "win32"),
    ("{v1}assemblyIdentity", "name", "TovuStabilizer"),
    ("{v1}assemblyIdentity", "version", VERSION + ".0"),
    ("{v1}assemblyIdentity", "processorArchitecture", "x86"),
    ("{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel", "level", "asInvoker"),
    ("{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel", "uiAccess", "false"),
    ("{v3}application/{v3}windowsSettings/{{http://schemas.microsoft.com/SMI/2005/WindowsSettings}}dpiAware",
     None, "true"),
    ("{v3}application/{v3}windowsSettings/{{http://schemas.microsoft.com/SMI/2016/WindowsSettings}}dpiAwareness",
     None, "PerMonitorV2"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "name", "Microsoft.Windows.Common-Controls"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "version", "6.0.0.0"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "type", "win32"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "processorArchitecture", "*"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "publicKeyToken", "6595b64144ccf1df"),
    ("{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity", "language", "*"),
]

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

    def test_holds_the_icons_a_version_block_and_a_manifest_only(self):
        # so no dialog or string table: every text lives in the code
        self.assertEqual(sorted(self.tree), [(RT_ICON, i) for i in range(1, 9)]
                         + [(RT_GROUP_ICON, 1), (RT_VERSION, 1), (RT_MANIFEST, 1)])
        self.assertEqual(len(self.entries), 11, "each resource in one language only")

    def test_version_block_reads_back(self):
        tables = [table for info in self.pe.FileInfo[0] for table in getattr(info, "StringTable", [])]
        self.assertEqual([t.LangID for t in tables], [b"041104B0"], "one Japanese UTF-16 string table")
        strings = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
        for field, expected in VERSION_STRINGS.items():
            with self.subTest(field):
                self.assertEqual(strings.get(field), expected)
        self.assertEqual(sorted(strings), sorted(VERSION_STRINGS))
        translations = [var.entry for info in self.pe.FileInfo[0] for var in getattr(info, "Var", [])]
        self.assertEqual(translations, [{b"Translation": "0x0411 0x04b0"}])
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = [int(n) for n in VERSION.split(".")] + [0]
        for name, (ms, ls) in (("file", (fixed.FileVersionMS, fixed.FileVersionLS)),
                               ("product", (fixed.ProductVersionMS, fixed.ProductVersionLS))):
            with self.subTest(f"{name} version numbers"):
                self.assertEqual([ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF], numbers)
        self.assertEqual((fixed.FileOS, fixed.FileType, fixed.FileFlags), (0x40004, 1, 0))

    def test_manifest_declares_what_windows_reads(self):
        data = self.tree[(RT_MANIFEST, 1)][2]
        self.assertTrue(data.startswith(b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        assembly = ElementTree.fromstring(data)
        self.assertEqual((assembly.tag, assembly.get("manifestVersion")), (f"{{{ASM_V1}}}assembly", "1.0"))
        for path, attribute, expected in MANIFEST:
            with self.subTest(f"{path.rsplit('}', 1)[-1]} {attribute or 'text'}"):
                found = assembly.findall(path.format(v1=f"{{{ASM_V1}}}", v3=f"{{{ASM_V3}}}"))
                self.assertEqual(len(found), 1, path)
                self.assertEqual(found[0].get(attribute) if attribute else found[0].text.strip(), expected)
        supported = assembly.findall(f"{{{COMPATIBILITY}}}compatibility/{{{COMPATIBILITY}}}application/"
                                     f"{{{COMPATIBILITY}}}supportedOS")
        self.assertEqual(sorted(s.get("Id") for s in supported), sorted(SUPPORTED_OS))

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
