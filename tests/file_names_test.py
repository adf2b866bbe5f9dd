#!/usr/bin/env python3
"""The file-name rule of the sources: a file's name tells its platform.

  *_win32.*  may include Windows SDK headers and *_win32.h headers;
  *_posix.*  may include POSIX headers and *_posix.h headers;
  any other file includes neither (it is built natively under the sanitizers).
  Nothing under engine/ scan/ walker/ remedy/ sys/ image/ includes "ui/..." or "cli/...".

usage: file_names_test.py SOURCE_ROOT      check the tree; status 1 on a breach
       file_names_test.py --self-test      the rule against planted breaches
"""
import os
import re
import sys
import tempfile

SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp|inc|rc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
WINDOWS_HEADERS = {
    "windows.h", "winresrc.h", "commctrl.h", "tlhelp32.h", "psapi.h", "shellapi.h", "winternl.h",
    "winver.h", "shlobj.h", "shlwapi.h", "winreg.h", "winbase.h", "winnt.h", "winuser.h", "wingdi.h",
    "objbase.h", "ole2.h", "winioctl.h", "aclapi.h", "winerror.h", "winnls.h", "imagehlp.h",
    "dbghelp.h", "io.h", "direct.h", "process.h", "mmsystem.h", "commdlg.h", "wininet.h",
    "winsock2.h", "ws2tcpip.h", "ntstatus.h", "richedit.h", "prsht.h", "uxtheme.h", "windef.h",
}
POSIX_HEADERS = {
    "unistd.h", "fcntl.h", "dirent.h", "pthread.h", "hivex.h", "iconv.h", "termios.h", "poll.h",
    "dlfcn.h", "pwd.h", "grp.h", "fnmatch.h", "glob.h", "spawn.h", "libgen.h", "mntent.h",
    "syslog.h", "utime.h", "sched.h", "semaphore.h", "netdb.h", "guestfs.h", "libnbd.h",
}
POSIX_FOLDERS = ("sys/", "linux/", "netinet/", "arpa/", "tsk/")
CORE_FOLDERS = ("engine/", "scan/", "walker/", "remedy/", "sys/", "image/")
SKIPPED = {"build", ".git"}


def breaches(root):
    found = []
    for folder, dirs, names in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED and not d.startswith("."))
        for name in sorted(names):
            if not SOURCE.search(name):
                continue
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, encoding="utf-8", errors="replace") as handle:
                text = handle.read()
            win32 = "_win32" in name
            posix = "_posix" in name
            for quote, header in INCLUDE.findall(text):
                base = header.rsplit("/", 1)[-1]
                lower = header.lower()
                if quote == "<" and lower in WINDOWS_HEADERS and not win32:
                    found.append(f"{relative}: <{header}> in a file not named *_win32*")
                if quote == "<" and (lower in POSIX_HEADERS or lower.startswith(POSIX_FOLDERS)) and not posix:
                    found.append(f"{relative}: <{header}> in a file not named *_posix*")
                if quote == '"' and "_win32." in base and base.endswith(".h") and not win32:
                    found.append(f'{relative}: "{header}" in a file not named *_win32*')
                if quote == '"' and "_posix." in base and base.endswith(".h") and not posix:
                    found.append(f'{relative}: "{header}" in a file not named *_posix*')
                front = header.split("/")[0]
                if quote == '"' and front in ("ui", "cli") and relative.startswith(CORE_FOLDERS):
                    found.append(f'{relative}: "{header}" from {front}/ in {relative.split("/")[0]}/')
    return found


def self_test():
    planted = {
        "engine/neutral.cpp": '#include <cstdint>\n#include "engine/neutral.h"\n',
        "engine/ok_win32.cpp": "#include <windows.h>\n#include <tlhelp32.h>\n",
        "engine/ok_posix.cpp": "#include <unistd.h>\n#include <sys/stat.h>\n",
        "engine/bad_windows.cpp": "#include <windows.h>\n",
        "engine/bad_sdk.h": "#  include <CommCtrl.h>\n",
        "engine/bad_stat.cpp": "#include <sys/stat.h>\n",
        "image/ok_reader_posix.cpp": "#include <libnbd.h>\n#include <tsk/libtsk.h>\n#include <guestfs.h>\n",
        "image/bad_reader.cpp": "#include <tsk/libtsk.h>\n#include <libnbd.h>\n",
        "engine/bad_dirent_win32.cpp": "#include <dirent.h>\n",
        "engine/bad_windows_header.cpp": '#include "engine/ok_win32.h"\n',
        "engine/bad_unix_header.cpp": '#include "engine/ok_posix.h"\n',
        "scan/bad_ui.cpp": '#include "ui/texts.h"\n',
        "ui/ok_ui.cpp": '#include "ui/texts.h"\n',
        "remedy/bad_cli.cpp": '#include "cli/scan_cli.h"\n',
        "build/ignored.cpp": "#include <windows.h>\n",
    }
    expected = {
        "engine/bad_windows.cpp: <windows.h> in a file not named *_win32*",
        "engine/bad_sdk.h: <CommCtrl.h> in a file not named *_win32*",
        "engine/bad_stat.cpp: <sys/stat.h> in a file not named *_posix*",
        "image/bad_reader.cpp: <tsk/libtsk.h> in a file not named *_posix*",
        "image/bad_reader.cpp: <libnbd.h> in a file not named *_posix*",
        "engine/bad_dirent_win32.cpp: <dirent.h> in a file not named *_posix*",
        'engine/bad_windows_header.cpp: "engine/ok_win32.h" in a file not named *_win32*',
        'engine/bad_unix_header.cpp: "engine/ok_posix.h" in a file not named *_posix*',
        'scan/bad_ui.cpp: "ui/texts.h" from ui/ in scan/',
        'remedy/bad_cli.cpp: "cli/scan_cli.h" from cli/ in remedy/',
    }
    with tempfile.TemporaryDirectory() as root:
        for relative, text in planted.items():
            os.makedirs(os.path.join(root, os.path.dirname(relative)), exist_ok=True)
            with open(os.path.join(root, relative), "w") as handle:
                handle.write(text)
        got = set(breaches(root))
    if got != expected:
        print("self-test: missed", sorted(expected - got), "wrongly found", sorted(got - expected))
        return 1
    print(f"self-test passed: {len(expected)} planted breaches found, nothing else")
    return 0


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    found = breaches(argv[1])
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} breach(es) of the file-name rule")
        return 1
    print("file-name rule holds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
