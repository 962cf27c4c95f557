"""The main menu of the Windows build, run under Wine in a pseudo-terminal.

The launcher writes GBK; Wine's console hands it to the terminal converted to
the locale's UTF-8, so every text is matched here as UTF-8.
"""

import os
import re
import struct
import subprocess
import zipfile

import pytest

from conftest import MENU, TITLE, strip_escapes

SET_TITLE = f"\x1b]0;{TITLE}\x07"
# Wine renders the console's bright yellow as SGR 93.
YELLOW = re.compile(r"\x1b\[(?:\d+;)*93(?:;\d+)*m")


def positions(text, *parts):
    """Where each part first shows in text, each searched after the one before."""
    found, at = [], 0
    for part in parts:
        at = text.index(part, at)
        found.append(at)
    return found


def quit_with_3(session):
    session.child.send("3")
    session.finish()
    assert (session.child.exitstatus, session.child.signalstatus) == (0, None)


def test_title_banner_and_yellow_menu(launch_wine, start, version):
    s = launch_wine(start)
    s.menu()
    out = s.output
    title, banner, server = positions(out, SET_TITLE, f"vellomar {version}", "1.12.2")
    yellow = YELLOW.search(out, server)
    assert yellow, "no yellow after the banner"
    first, second, third = positions(out, *MENU)
    assert title < banner < server < yellow.start() < first < second < third
    # The banner shows in the console's first colour: yellow is set only after it.
    assert not YELLOW.search(out, 0, server)
    quit_with_3(s)


@pytest.mark.parametrize("key", ["x", "\r"], ids=["letter", "enter"])
def test_other_key_draws_the_menu_again_then_3_leaves(launch_wine, start, key, version):
    s = launch_wine(start)
    s.menu()
    first = len(s.output)
    s.child.send(key)
    s.menu()
    again = s.output[first:]
    assert again.count(SET_TITLE) == 1
    assert f"vellomar {version}" in again
    assert all(line in again for line in MENU)
    # The key is not echoed: between the two menus there is only the redraw.
    shown = strip_escapes(again[: again.index(SET_TITLE)])
    assert shown.strip() == ""
    quit_with_3(s)
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert (start / "vellomar").is_dir()


def test_key_3_at_the_first_pass_makes_the_working_folder(launch_wine, start):
    s = launch_wine(start)
    s.menu()
    assert not (start / "vellomar").exists()
    quit_with_3(s)
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert os.listdir(start / "vellomar") == []


def windows_length(path):
    return len("Z:" + str(path))


# Start folders with cmd's characters in their names, and what the launcher
# refuses them with (None: it works there). A number is the length of a path
# made of nested folders: past 220 characters there is no room for the paths
# below it, and from 258 on Wine starts the program in C:\windows instead.
@pytest.mark.parametrize("name, refused", [
    ("start folder", None), ("服务器 目录", None), ("R&D", None), ("a^b", None), ("a,b", None), ("a;b", None),
    ("a=b", None), ("x & y", None), ("x(1)", None), ("新建文件夹 (2)", None), ("a!b", None),
    ("50%OS%", "启动文件夹的路径中含有百分号 %"),
    (220, None), (240, "启动文件夹的路径过长（240 个字符）"),
    (291, "本程序不能在 Windows 文件夹中启动"),
])
def test_start_folders_cmd_reads_otherwise(launch_wine, make_start, tmp_path, wine_env, version, name, refused):
    if isinstance(name, int):
        # Folders of 20 characters below one that takes what is left over.
        length, left = name, name - windows_length(tmp_path / "starts") - 1
        nested = (left - 1) // 21
        name = "d" * (left - 21 * nested) + ("/" + "d" * 20) * nested
        assert windows_length(tmp_path / "starts" / name) == length
    folder = make_start(name)
    top = name.split("/")[0]
    s = launch_wine(folder)
    if refused:
        s.finish()
        assert s.child.exitstatus not in (0, None)
        shown = strip_escapes(s.output)
        assert refused in shown and MENU[0] not in shown
        made = ["out_put_ver.exe"]
    else:
        s.menu()
        assert f"vellomar {version}" in s.output
        quit_with_3(s)
        made = ["out_put_ver.exe", "vellomar"]
        assert os.listdir(folder / "vellomar") == []
    # Nothing made beside it, nor where Wine started the program.
    assert sorted(os.listdir(folder)) == made
    assert os.listdir(tmp_path / "starts") == [top]
    assert not os.path.exists(os.path.join(wine_env["WINEPREFIX"], "drive_c", "windows", "vellomar"))


def test_missing_banner_program_shows_cmds_message_and_the_menu(launch_wine, make_start):
    folder = make_start(banner=False)
    s = launch_wine(folder)
    s.menu()
    out = strip_escapes(s.output)
    message = next(line for line in out.splitlines() if "内部或外部命令" in line)
    assert "out_put_ver.exe" in message
    assert out.index(message) < out.index(MENU[0])
    quit_with_3(s)
    assert os.listdir(folder) == ["vellomar"]


def test_second_launcher_in_the_same_start_folder_leaves_the_first_alone(launch_wine, start):
    first = launch_wine(start)
    first.menu()
    first.child.send("x")  # the first pass makes the working folder and holds it
    first.menu()
    second = launch_wine(start)
    second.finish()
    assert second.child.exitstatus not in (0, None)
    shown = strip_escapes(second.output)
    assert "已有另一个启动器正在运行" in shown
    assert MENU[0] not in shown
    # The first goes on: it still answers keys, and leaves as usual.
    first.child.send("x")
    first.menu()
    quit_with_3(first)
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert os.listdir(start / "vellomar") == []


def test_the_zip_unpacked_anywhere_shows_the_menu(build, launch_wine, tmp_path, version):
    cmake = os.environ.get("VELLOMAR_CMAKE", "cmake")
    made = subprocess.run([cmake, "--build", str(build), "--target", "package"], capture_output=True, text=True,
                          timeout=900)
    assert made.returncode == 0, made.stdout + made.stderr
    top = f"vellomar-{version}-win64"
    with zipfile.ZipFile(build / f"{top}.zip") as z:
        # One folder: the launcher with the banner program beside it, and a README.
        assert sorted(z.namelist()) == [f"{top}/{name}" for name in ("README.txt", "out_put_ver.exe", "vellomar.exe")]
        z.extractall(tmp_path / "unpacked")
    folder = tmp_path / "unpacked" / top
    # For Notepad: UTF-8 with a byte order mark, and CR LF line ends only.
    readme = (folder / "README.txt").read_bytes()
    assert readme.startswith(b"\xef\xbb\xbf") and readme.count(b"\n") == readme.count(b"\r\n") > 0
    assert "vellomar.exe" in readme.decode("utf-8")
    s = launch_wine(folder, program=folder / "vellomar.exe")
    s.menu()
    assert f"vellomar {version}" in s.output
    quit_with_3(s)
    assert sorted(os.listdir(folder)) == ["README.txt", "out_put_ver.exe", "vellomar", "vellomar.exe"]


def pe_sections(image):
    """The PE image's sections: name -> (file offset, size)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe : pe + 4] == b"PE\0\0"
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional
    sections = {}
    for i in range(count):
        entry = table + 40 * i
        name = image[entry : entry + 8].rstrip(b"\0").decode("ascii")
        size, offset = struct.unpack_from("<II", image, entry + 16)
        sections[name] = (offset, size)
    return sections


def test_executable_carries_one_128_pixel_32_bit_icon(build):
    image = (build / "vellomar.exe").read_bytes()
    sections = pe_sections(image)
    assert ".rsrc" in sections
    offset, size = sections[".rsrc"]
    rsrc = image[offset : offset + size]
    # The icon group: one image, 128x128, 32 bits per pixel.
    group = struct.pack("<HHHBBBBHH", 0, 1, 1, 128, 128, 0, 0, 1, 32)
    assert rsrc.count(group) == 1
    # The image itself: a BITMAPINFOHEADER, twice the height for the mask.
    header = struct.pack("<IiiHH", 40, 128, 256, 1, 32)
    assert rsrc.count(header) == 1
    assert image.count(struct.pack("<IiiH", 40, 128, 256, 1)) == 1
