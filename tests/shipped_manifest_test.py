#!/usr/bin/env python3
"""The application manifest of each shipped program, read from the built file.
usage: shipped_manifest_test.py LEVEL EXE [LEVEL EXE ...]
         LEVEL is requireAdministrator or asInvoker; status 1 on a breach
       shipped_manifest_test.py --self-test
         the XML rules against planted breaches
Each program holds exactly one manifest, resource 1 of type 24 (RT_MANIFEST),
in one language (the loader takes whichever there is). It must be well-formed XML in which
  - the root is asm.v1's assembly (manifestVersion 1.0) with an
    assemblyIdentity for the file's processor;
  - trustInfo and everything in it is in the asm.v2 namespace (Windows XP
    refuses to start a program whose manifest uses asm.v3), and asks for LEVEL
    without uiAccess;
  - compatibility.v1 names exactly the releases from Vista to 11;
  - nothing depends on another assembly (Common Controls 6 would change the
    controls' look);
  - no namespace is declared twice: not on two elements, not under two
    prefixes (XP SP2 and Server 2003 before SP1 can restart over that,
    KB921337).
"""
import struct
import sys
import xml.dom.minidom
import xml.parsers.expat

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
ARCHITECTURES = {0x14C: "x86", 0x8664: "amd64"}
RT_MANIFEST = 24


class PeError(Exception):
    pass


def resource_manifests(data):
    """(machine, [(name id, language, bytes)]) of the RT_MANIFEST resources."""
    def u16(at):
        return struct.unpack_from("<H", data, at)[0]

    def u32(at):
        return struct.unpack_from("<I", data, at)[0]

    if data[:2] != b"MZ":
        raise PeError("no MZ header")
    pe = u32(0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE header")
    machine = u16(pe + 4)
    sections = u16(pe + 6)
    optional_size = u16(pe + 20)
    optional = pe + 24
    magic = u16(optional)
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = u32(directories + 2 * 8), u32(directories + 2 * 8 + 4)
    table = optional + optional_size
    spans = []
    for i in range(sections):
        at = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, at + 8)
        spans.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def offset(rva):
        for address, size, pointer in spans:
            if address <= rva < address + size:
                return pointer + rva - address
        raise PeError("RVA %#x is in no section" % rva)

    if resource_rva == 0 or resource_size == 0:
        return machine, []
    root = offset(resource_rva)

    def entries(directory):
        named, ids = u16(directory + 12), u16(directory + 14)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
            yield name, target

    found = []
    for type_name, type_target in entries(root):
        if type_name != RT_MANIFEST:
            continue
        if not type_target & 0x80000000:
            raise PeError("type 24 is not a directory")
        for name, name_target in entries(root + (type_target & 0x7FFFFFFF)):
            if not name_target & 0x80000000:
                raise PeError("manifest %#x is not a directory" % name)
            for language, leaf in entries(root + (name_target & 0x7FFFFFFF)):
                data_rva, size = u32(root + leaf), u32(root + leaf + 4)
                start = offset(data_rva)
                found.append((name, language, data[start:start + size]))
    return machine, found


def namespace_breaches(text):
    """Namespaces declared twice: on two elements or under two prefixes."""
    breaches, declared = [], {}
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")

    def on_declaration(prefix, uri):
        if uri in declared:
            breaches.append("namespace %s declared twice (as %r and %r)" % (uri, declared[uri], prefix or ""))
        declared.setdefault(uri, prefix or "")

    parser.StartNamespaceDeclHandler = on_declaration
    parser.Parse(text, True)
    return breaches


def manifest_breaches(text, level, architecture):
    """Every rule the manifest `text` (bytes) breaks, as sentences."""
    try:
        document = xml.dom.minidom.parseString(text)
    except Exception as error:  # expat's own error types vary
        return ["not well-formed XML: %s" % error]
    breaches = namespace_breaches(text)
    root = document.documentElement

    def elements(namespace, name):
        return root.getElementsByTagNameNS(namespace, name)

    if (root.namespaceURI, root.localName) != (ASM_V1, "assembly"):
        breaches.append("root is {%s}%s, not asm.v1's assembly" % (root.namespaceURI, root.localName))
    if root.getAttribute("manifestVersion") != "1.0":
        breaches.append("manifestVersion is %r" % root.getAttribute("manifestVersion"))
    identities = [e for e in elements(ASM_V1, "assemblyIdentity") if e.parentNode is root]
    if len(identities) != 1:
        breaches.append("%d assemblyIdentity elements under the root, want 1" % len(identities))
    else:
        identity = identities[0]
        for attribute in ("type", "name", "version"):
            if not identity.getAttribute(attribute):
                breaches.append("assemblyIdentity has no %s" % attribute)
        if identity.getAttribute("type") not in ("", "win32"):
            breaches.append("assemblyIdentity type is %r" % identity.getAttribute("type"))
        parts = identity.getAttribute("version").split(".")
        if len(parts) != 4 or not all(p.isdigit() for p in parts):
            breaches.append("assemblyIdentity version %r is not four numbers" % identity.getAttribute("version"))
        if identity.getAttribute("processorArchitecture") != architecture:
            breaches.append("processorArchitecture is %r, the file is %s" %
                            (identity.getAttribute("processorArchitecture"), architecture))

    for element in document.getElementsByTagName("*"):
        if element.namespaceURI == ASM_V3:
            breaches.append("%s is in the asm.v3 namespace" % element.localName)
    for name in ("trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"):
        for element in document.getElementsByTagName("*"):
            if element.localName == name and element.namespaceURI != ASM_V2:
                breaches.append("%s is in %s, not asm.v2" % (name, element.namespaceURI))
    trust = elements(ASM_V2, "trustInfo")
    levels = elements(ASM_V2, "requestedExecutionLevel")
    if len(trust) != 1 or len(levels) != 1:
        breaches.append("%d trustInfo and %d requestedExecutionLevel elements, want 1 each" % (len(trust), len(levels)))
    else:
        path, node = [], levels[0]
        while node is not None and node.nodeType == node.ELEMENT_NODE:
            path.insert(0, node.localName)
            node = node.parentNode
        want = ["assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"]
        if path != want:
            breaches.append("requestedExecutionLevel sits at %s" % "/".join(path))
        if levels[0].getAttribute("level") != level:
            breaches.append("execution level is %r, want %r" % (levels[0].getAttribute("level"), level))
        if levels[0].getAttribute("uiAccess") not in ("", "false"):
            breaches.append("uiAccess is %r" % levels[0].getAttribute("uiAccess"))

    applications = [a for c in elements(COMPATIBILITY, "compatibility") for a in c.childNodes
                    if a.nodeType == a.ELEMENT_NODE and a.localName == "application"]
    if len(elements(COMPATIBILITY, "compatibility")) != 1 or len(applications) != 1:
        breaches.append("want one compatibility.v1 compatibility with one application")
    listed = [e.getAttribute("Id").lower() for e in elements(COMPATIBILITY, "supportedOS")]
    if sorted(listed) != sorted(SUPPORTED_OS):
        breaches.append("supportedOS lists %s, want Vista, 7, 8, 8.1 and 10/11 once each" % listed)

    for name in ("dependency", "dependentAssembly"):
        if [e for e in document.getElementsByTagName("*") if e.localName == name]:
            breaches.append("a %s element: the program depends on no other assembly" % name)
    if b"Common-Controls" in text:
        breaches.append("Common Controls named")
    return breaches


def check_program(level, path):
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        machine, manifests = resource_manifests(data)
    except (PeError, struct.error) as error:
        return ["cannot read the resources: %s" % error]
    if machine not in ARCHITECTURES:
        return ["unknown machine %#x" % machine]
    if len(manifests) != 1:
        return ["%d RT_MANIFEST resources, want exactly one" % len(manifests)]
    name, _, text = manifests[0]
    breaches = []
    if name != 1:
        breaches.append("the manifest is resource %d of type 24, want 1" % name)
    return breaches + manifest_breaches(text, level, ARCHITECTURES[machine])


GOOD = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Test.Program" version="1.0.0.0" processorArchitecture="x86"/>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v2">
    <security><requestedPrivileges>
      <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
    </requestedPrivileges></security>
  </trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>
    <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
    <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
    <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
    <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
    <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
  </application></compatibility>
</assembly>
"""
# (what is planted, the changes to GOOD as old, new pairs, a word the breach must name)
PLANTED = [
    ("asm.v3 trustInfo", (b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v2">',
                          b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">'), "asm.v3"),
    ("namespace declared again inside", (b"<security>", b'<security xmlns="urn:schemas-microsoft-com:asm.v2">'),
     "declared twice"),
    ("namespace under a second prefix", (b"<security>", b'<security xmlns:v2="urn:schemas-microsoft-com:asm.v2">'),
     "declared twice"),
    ("root namespace declared again", (b'<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">',
                                       b'<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1" '
                                       b'xmlns:a="urn:schemas-microsoft-com:asm.v1">'), "declared twice"),
    ("wrong level", (b'level="asInvoker"', b'level="highestAvailable"'), "execution level"),
    ("uiAccess", (b'uiAccess="false"', b'uiAccess="true"'), "uiAccess"),
    ("Windows 10 missing", (b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', b""), "supportedOS"),
    ("Vista twice", (b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>',
                     b'<supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>'), "supportedOS"),
    ("Common Controls 6", (b"</assembly>", b'<dependency><dependentAssembly><assemblyIdentity type="win32" '
                           b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" '
                           b'publicKeyToken="6595b64144ccf1df" language="*"/></dependentAssembly></dependency>'
                           b"</assembly>"), "dependency"),
    ("other processor", (b'processorArchitecture="x86"', b'processorArchitecture="amd64"'), "processorArchitecture"),
    ("no identity", (b'<assemblyIdentity type="win32" name="Test.Program" version="1.0.0.0" '
                     b'processorArchitecture="x86"/>', b""), "assemblyIdentity"),
    ("security inside requestedPrivileges",
     (b"<security><requestedPrivileges>", b"<requestedPrivileges><security>",
      b"</requestedPrivileges></security>", b"</security></requestedPrivileges>"), "sits at"),
    ("not well-formed", (b"</assembly>", b"</assembly"), "not well-formed"),
]


def self_test():
    failures = manifest_breaches(GOOD, "asInvoker", "x86")
    for breach in failures:
        print("FAIL the good manifest: %s" % breach)
    for what, changes, word in PLANTED:
        planted = GOOD
        for old, new in zip(changes[0::2], changes[1::2]):
            assert planted.count(old) == 1, what
            planted = planted.replace(old, new)
        found = manifest_breaches(planted, "asInvoker", "x86")
        if not any(word in breach for breach in found):
            print("FAIL planted %s: not caught (%s)" % (what, found))
            failures.append(what)
    print("self-test: %d planted breaches, %d missed" % (len(PLANTED), len(failures)))
    return 1 if failures else 0


def main(arguments):
    if arguments == ["--self-test"]:
        return self_test()
    if not arguments or len(arguments) % 2:
        print(__doc__)
        return 2
    status = 0
    for level, path in zip(arguments[0::2], arguments[1::2]):
        breaches = check_program(level, path)
        for breach in breaches:
            print("FAIL %s: %s" % (path, breach))
        if breaches:
            status = 1
        else:
            print("ok   %s: one manifest, resource 1 of type 24, %s" % (path, level))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
