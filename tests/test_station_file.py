"""MESInfo and info.cfg: reading, the file's exact layout, and saving that
never destroys the file."""

import configparser
import os
import pathlib
import random
import signal
import stat
import subprocess
import threading
import time

import pytest

from support import FILE_ENCODING, OPERATOR, OTHER_OPERATOR

try:
    import resource
except ImportError:  # not on Windows
    resource = None

posix_only = pytest.mark.skipif(os.name != "posix", reason="needs fork, permission bits, users and resource limits")

DEFAULTS = "[DEFAULT]\nproducttype = \nmrno = \nslot = \nopname = \n\n"
FRESH = DEFAULTS + "[Sec]\nproducttype = {}\nmrno = {}\nopname = {}\nslot = {}\n\n"
OLD, NEW = FRESH.format("", "", "old", ""), FRESH.format("", "", "new", "")


# A text the encoding of the station's files cannot hold.
UNENCODABLE = next(text for text in ("€", "\udc80")
                   if text.encode(FILE_ENCODING, "replace").decode(FILE_ENCODING) != text)


def write(path, text):
    with open(path, "w", encoding=FILE_ENCODING) as f:
        f.write(text)


def read(path):
    with open(path, encoding=FILE_ENCODING) as f:
        return f.read()


def file_bytes(text):
    """The bytes the host's text mode writes for text (CRLF on Windows)."""
    return text.replace("\n", os.linesep).encode(FILE_ENCODING)


def error_rewriting(path):
    """The error the host raises for rewriting path in place."""
    try:
        open(path, "w").close()
    except OSError as error:
        return type(error)


def leftovers(folder):
    """Files in the folder besides info.cfg: unfinished new files."""
    return sorted(name for name in os.listdir(folder) if name != "info.cfg")


def values(info):
    return info.ProductType, info.MRNo, info.OPName, info.Slot


@pytest.fixture
def old(tv, in_tmp):
    """An object that saved info.cfg with the operator "old"."""
    info = tv.MESInfo()
    info.OPName = "old"
    info.Save()
    return info


class TestReading:
    def test_without_a_file_the_values_are_empty_and_nothing_is_created(self, tv, in_tmp):
        info = tv.MESInfo()
        assert values(info) == ("", "", "", "")
        assert os.listdir(in_tmp) == []
        assert list(vars(info)) == ["_MESInfo__ini", "ProductType", "MRNo", "OPName", "Slot"]
        parser = vars(info)["_MESInfo__ini"]
        assert isinstance(parser, configparser.ConfigParser)
        assert parser.has_section("Sec")
        assert list(parser.defaults().items()) == [("producttype", ""), ("mrno", ""), ("slot", ""),
                                                   ("opname", "")]

    @pytest.mark.parametrize("text, expected", [
        ("[Sec]\nmrno = MR-42\n", ("", "MR-42", "", "")),
        ("[Sec]\nMRNO =   MR 7  \nProductType:X1\nOPNAME\t=\t%s\t\n" % OPERATOR, ("X1", "MR 7", OPERATOR, "")),
        ("[DEFAULT]\nslot = S9\n[Sec]\nmrno = M\n", ("", "M", "", "S9")),
        ("[Sec]\nmrno = MR\nproducttype = %(mrno)s-1\nslot = 100%%\n", ("MR-1", "MR", "", "100%")),
    ], ids=["one key", "case and blanks", "file defaults", "interpolation"])
    def test_values_read(self, tv, in_tmp, text, expected):
        write("info.cfg", text)
        assert values(tv.MESInfo()) == expected

    def test_section_name_is_case_sensitive(self, tv, in_tmp):
        write("info.cfg", "[sec]\nopname = lower\n")
        info = tv.MESInfo()
        assert info.OPName == ""
        info.OPName = "upper"
        info.Save()
        assert read("info.cfg") == DEFAULTS + "[sec]\nopname = lower\n\n" + FRESH.format("", "", "upper", "")[
            len(DEFAULTS):]

    @pytest.mark.parametrize("text, error", [
        ("opname = no header\n", configparser.MissingSectionHeaderError),
        ("[Sec]\nopname = a\n[Sec]\nopname = b\n", configparser.DuplicateSectionError),
        ("[Sec]\nopname = a\nopname = b\n", configparser.DuplicateOptionError),
        ("[Sec]\nopname = 50% off\n", configparser.InterpolationSyntaxError),
    ])
    def test_unreadable_files_fail_the_constructor(self, tv, in_tmp, text, error):
        write("info.cfg", text)
        with pytest.raises(error):
            tv.MESInfo()

    def test_a_folder_named_like_the_file_is_not_read_and_fails_save(self, tv, in_tmp):
        os.mkdir("info.cfg")
        info = tv.MESInfo()
        assert info.OPName == ""
        with pytest.raises(error_rewriting("info.cfg")):
            info.Save()
        assert leftovers(in_tmp) == []

    def test_names_are_looked_up_on_the_module_when_used(self, tv, in_tmp, monkeypatch):
        asked = []
        monkeypatch.setattr(tv, "_isfile", lambda name: asked.append(name) or False)
        write("info.cfg", "[Sec]\nopname = ignored\n")
        assert tv.MESInfo().OPName == ""
        assert asked == ["info.cfg"]

    def test_without_the_old_parser_name_the_parser_class_is_used(self, tv, in_tmp, monkeypatch):
        class Host:
            ConfigParser = configparser.ConfigParser

        monkeypatch.setattr(tv, "_cp", Host)
        write("info.cfg", "[Sec]\nslot = 3\n")
        info = tv.MESInfo()
        assert info.Slot == "3"
        assert type(vars(info)["_MESInfo__ini"]) is configparser.ConfigParser


class TestSaving:
    def test_fresh_save_writes_the_layout_byte_for_byte_every_time(self, tv, in_tmp):
        info = tv.MESInfo()
        info.ProductType, info.MRNo, info.OPName, info.Slot = "P-1", "MR#7", OPERATOR, "S2"
        for _ in range(2):
            assert info.Save() is None
            with open("info.cfg", "rb") as f:
                assert f.read() == file_bytes(FRESH.format("P-1", "MR#7", OPERATOR, "S2"))
            assert leftovers(in_tmp) == []

    def test_values_survive_a_round_trip(self, tv, in_tmp):
        info = tv.MESInfo()
        info.ProductType, info.MRNo, info.OPName, info.Slot = saved = (
            OPERATOR + " A", "MR 1", " ".join(OTHER_OPERATOR), "#3")
        info.Save()
        assert values(tv.MESInfo()) == saved

    def test_other_sections_and_keys_survive_but_comments_do_not(self, tv, in_tmp):
        write("info.cfg", "# station 7\n[Other]\nkey = value\n[Sec]\nextra = kept\nopname = old\n; note\n")
        info = tv.MESInfo()
        info.OPName = "new"
        info.Save()
        assert "#" not in read("info.cfg") and ";" not in read("info.cfg")
        parser = configparser.ConfigParser()
        parser.read("info.cfg")
        assert parser.sections() == ["Other", "Sec"]
        assert [parser.get(*key) for key in [("Other", "key"), ("Sec", "extra"), ("Sec", "opname")]] == [
            "value", "kept", "new"]

    @pytest.mark.parametrize("typed", ["50%", "a%%b", "%(mrno)s", "%", "100 % sure", "%%%"])
    def test_percent_signs_round_trip(self, tv, in_tmp, typed):
        info = tv.MESInfo()
        info.OPName = typed
        info.Save()
        assert tv.MESInfo().OPName == typed

    def test_a_value_read_from_a_doubled_percent_sign_saves_again(self, tv, in_tmp):
        write("info.cfg", "[Sec]\nslot = a%%b\n")
        info = tv.MESInfo()
        assert info.Slot == "a%b"
        info.Save()
        assert tv.MESInfo().Slot == "a%b"
        assert "slot = a%%b\n" in read("info.cfg")

    @pytest.mark.parametrize("kind", [str, pathlib.Path])
    def test_the_file_name_on_one_instance_redirects_only_it(self, tv, in_tmp, kind):
        os.mkdir("sub")
        write(os.path.join("sub", "other.cfg"), "[Sec]\nopname = other\n")
        redirected = tv.MESInfo.__new__(tv.MESInfo)
        redirected.ININame = kind(os.path.join("sub", "other.cfg"))
        redirected.__init__()
        assert redirected.OPName == "other"
        redirected.OPName = "changed"
        redirected.Save()
        plain = tv.MESInfo()
        assert plain.OPName == ""
        plain.Save()
        assert tv.MESInfo.ININame == "info.cfg"
        assert "opname = changed\n" in read(os.path.join("sub", "other.cfg"))
        assert os.path.exists("info.cfg")
        assert leftovers(os.path.join(in_tmp, "sub")) == ["other.cfg"]

    @pytest.mark.parametrize("value, error", [(42, TypeError), (UNENCODABLE, UnicodeEncodeError)])
    def test_a_value_that_cannot_be_stored_leaves_the_old_file(self, tv, in_tmp, old, value, error):
        old.MRNo = "changed in memory"
        old.OPName = value
        with pytest.raises(error):
            old.Save()
        assert read("info.cfg") == OLD
        assert vars(old)["_MESInfo__ini"].get("Sec", "mrno") == "changed in memory"
        assert leftovers(in_tmp) == []

    @pytest.mark.parametrize("fails", [False, True])
    def test_the_data_is_synced_before_it_is_put_in_place(self, tv, in_tmp, monkeypatch, old, fails):
        """Synced while the old file is still in place; a failing sync leaves it there."""
        seen = []

        def fsync(fd):
            seen.append((os.fstat(fd).st_size, read("info.cfg")))
            if fails:
                raise OSError(5, "Input/output error")
            os.fsync(fd)

        monkeypatch.setattr(tv, "_fsync", fsync)
        old.OPName = "x"
        if fails:
            with pytest.raises(OSError, match="Input/output error"):
                old.Save()
        else:
            old.Save()
        assert seen == [(len(file_bytes(FRESH.format("", "", "x", ""))), OLD)]
        assert read("info.cfg") == (OLD if fails else FRESH.format("", "", "x", ""))
        assert leftovers(in_tmp) == []

    @pytest.mark.skipif(os.name == "nt", reason="Windows has no folder sync")
    @pytest.mark.parametrize("raised", [OSError(22, "Invalid argument"), KeyboardInterrupt(), SystemExit(3)])
    def test_only_errors_of_the_folder_sync_are_ignored(self, tv, in_tmp, monkeypatch, old, raised):
        real_fsync = os.fsync

        def fsync(fd):
            if stat.S_ISDIR(os.fstat(fd).st_mode):
                raise raised
            real_fsync(fd)

        monkeypatch.setattr(os, "fsync", fsync)
        old.OPName = "synced"
        if isinstance(raised, Exception):
            assert old.Save() is None
        else:
            with pytest.raises(type(raised)):
                old.Save()
        assert read("info.cfg") == FRESH.format("", "", "synced", "")
        assert leftovers(in_tmp) == []

    @pytest.mark.parametrize("decoded", [7, 2.5])
    def test_a_file_name_that_decodes_to_no_text(self, tv, in_tmp, decoded):
        class Name(bytes):
            def decode(self, *args):
                return decoded

        with pytest.raises(TypeError) as expected:
            os.fspath(decoded)
        info = tv.MESInfo()
        info.ININame = Name(b"info.cfg")
        with pytest.raises(TypeError) as raised:
            info.Save()
        assert str(raised.value) == str(expected.value)
        assert os.listdir(in_tmp) == []

    @pytest.mark.skipif(os.name == "nt", reason="POSIX folder attributes")
    @pytest.mark.parametrize("refusal", ["new file taken away", "folder takes no new file"])
    def test_a_refused_replacement_rewrites_in_place(self, tv, in_tmp, monkeypatch, old, refusal):
        """The old file is still there, so it is rewritten in place."""
        inode = os.stat("info.cfg").st_ino
        if refusal == "new file taken away":
            monkeypatch.setattr(tv, "_fsync", lambda fd: [os.remove(name) for name in leftovers(".")])
        elif os.geteuid() != 0 or subprocess.call(["chattr", "+i", "."], stderr=subprocess.DEVNULL) != 0:
            pytest.skip("needs root and a file system with immutable folders")
        old.OPName = "new"
        try:
            old.Save()
        finally:
            if refusal != "new file taken away":
                subprocess.check_call(["chattr", "-i", "."])
        assert read("info.cfg") == NEW
        assert os.stat("info.cfg").st_ino == inode
        assert leftovers(in_tmp) == []

    @pytest.mark.skipif(os.name != "nt", reason="a file held open refuses to be replaced on Windows only")
    @pytest.mark.parametrize("held", [0.1, 3.0])
    def test_a_file_held_open_elsewhere(self, tv, in_tmp, old, held):
        """Replaced once it is closed, tried again for about a second; still
        held then, rewritten in place (the reader shares writing)."""
        inode = os.stat("info.cfg").st_ino
        reader = open("info.cfg")
        closer = threading.Timer(held, reader.close)
        closer.start()
        old.OPName = "new"
        try:
            old.Save()
        finally:
            closer.cancel()
            reader.close()
        assert read("info.cfg") == NEW
        assert (os.stat("info.cfg").st_ino == inode) == (held > 1.0)
        assert leftovers(in_tmp) == []

    @posix_only
    def test_permission_bits_are_kept(self, tv, in_tmp):
        write("info.cfg", "[Sec]\n")
        os.chmod("info.cfg", 0o640)
        tv.MESInfo().Save()
        assert stat.S_IMODE(os.stat("info.cfg").st_mode) == 0o640


def outcome_of(action):
    """The name of the exception action() raised, or "ok"."""
    try:
        action()
    except BaseException as error:  # reported to the caller
        return type(error).__name__
    return "ok"


def start_child(action):
    """Runs action() in a forked child; returns a function that waits for it
    and gives its outcome_of."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.write(write_end, outcome_of(action).encode())
        os._exit(0)
    os.close(write_end)

    def outcome():
        with os.fdopen(read_end) as pipe:
            text = pipe.read()
        os.waitpid(pid, 0)
        return text
    return outcome


as_root_only = pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root")


def drop_privileges():
    """Root passes every permission check; the checks need another user."""
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)


def full_disk():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))


def read_only_file():
    os.chmod("info.cfg", 0o444)
    drop_privileges()


@posix_only
@pytest.mark.parametrize("refusing, error", [(full_disk, "OSError"), (read_only_file, "PermissionError")],
                         ids=["full disk", "read-only file"])
def test_places_that_refuse_leave_the_old_file(tv, in_tmp, old, refusing, error):
    os.chmod(in_tmp, 0o777)

    def save():
        refusing()
        old.OPName = "new " * 100
        old.Save()

    assert start_child(save)() == error
    assert read("info.cfg") == OLD
    assert leftovers(in_tmp) == []



def symbolic_link(tv, monkeypatch):
    os.mkdir("line")
    os.rename("info.cfg", os.path.join("line", "shared.cfg"))
    os.symlink(os.path.join("line", "shared.cfg"), "info.cfg")
    return lambda: os.path.islink("info.cfg") and leftovers("line") == ["shared.cfg"]


def hard_link(tv, monkeypatch):
    os.link("info.cfg", "other.cfg")
    return lambda: os.path.samefile("info.cfg", "other.cfg") and os.stat("info.cfg").st_nlink == 2


def read_only_folder(tv, monkeypatch):
    os.chmod("info.cfg", 0o666)
    os.chmod(".", 0o555)
    return lambda: os.stat("info.cfg").st_uid == 0


def foreign_owner(tv, monkeypatch):
    os.chown("info.cfg", 4242, 4343)
    os.chmod("info.cfg", 0o604)
    return lambda: (os.stat("info.cfg").st_uid, os.stat("info.cfg").st_gid,
                    stat.S_IMODE(os.stat("info.cfg").st_mode)) == (4242, 4343, 0o604)


def owner_not_ours_to_give(tv, monkeypatch):
    os.chmod("info.cfg", 0o666)
    return lambda: os.stat("info.cfg").st_uid == 0


def protected_links():
    """Whether the kernel refuses to follow others' links in sticky folders."""
    try:
        with open("/proc/sys/fs/protected_symlinks") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


def link_of_another_user_in_a_sticky_folder(tv, monkeypatch):
    """Another user's link to a root-only file: written only as open() would."""
    os.mkdir("root-only", 0o700)
    secret = os.path.join(os.getcwd(), "root-only", "secret")
    write(secret, "[Root]\nkey = root only\n")
    os.chmod(".", 0o1777)
    os.remove("info.cfg")
    os.symlink(secret, "info.cfg")
    os.lchown("info.cfg", 65534, 65534)
    before = os.stat(secret).st_ino, read(secret)
    return lambda: (os.stat(secret).st_ino, read(secret) if protected_links() else before[1]) == before


def bind_mounted(tv, monkeypatch):
    """info.cfg given to a container as one file: a mount of host.cfg."""
    write("host.cfg", OLD)
    return lambda: read("info.cfg") == OLD


def mount_host_file():
    import ctypes
    if ctypes.CDLL(None, use_errno=True).unshare(0x00020000) != 0:   # a mount namespace of its own
        raise OSError(ctypes.get_errno(), "unshare")
    subprocess.check_call(["mount", "--make-rprivate", "/"])
    subprocess.check_call(["mount", "--bind", "host.cfg", "info.cfg"])


def device_through_a_link(tv, monkeypatch):
    os.mknod("null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    os.remove("info.cfg")
    os.symlink("null", "info.cfg")
    return lambda: stat.S_ISCHR(os.stat("null").st_mode) and os.path.islink("info.cfg")


def acl_and_attribute(tv, monkeypatch):
    subprocess.check_call(["setfacl", "-m", "u:65534:rw", "info.cfg"])
    os.setxattr("info.cfg", "user.station", b"7")

    def attributes():
        return {name: os.getxattr("info.cfg", name) for name in os.listxattr("info.cfg")}
    before = attributes()
    return lambda: "system.posix_acl_access" in before and attributes() == before


def private_file(tv, monkeypatch):
    os.chmod("info.cfg", 0o600)
    write("created", "")
    return lambda: read("created") == "600\n" and stat.S_IMODE(os.stat("info.cfg").st_mode) == 0o600


def watch_new_files():
    """Another user may open a file in the moment it is wider than meant: each
    file made must be private, whatever the umask."""
    import m4r_tessavor as tv
    os.umask(0)

    def fsync(fd):
        with open("created", "a") as f:
            f.write("%o\n" % stat.S_IMODE(os.fstat(fd).st_mode))
        os.fsync(fd)
    tv._fsync = fsync


def predictable_names_taken(tv, monkeypatch):
    taken = ["info.cfg.%d.%d.tmp" % (os.getpid(), n) for n in range(100)]
    for name in taken:
        write(name, "taken")
        if os.geteuid() == 0:
            os.chown(name, 65534, 65534)
    return lambda: set(taken) <= set(os.listdir("."))


def live_save_elsewhere(tv, monkeypatch):
    """Another process's save paused while writing: its new file stays."""
    paused, go = os.pipe(), os.pipe()

    def paused_save():
        def fsync(fd):   # the first one pauses, for ten seconds at most
            import select
            tv._fsync = os.fsync
            os.write(paused[1], b"p")
            select.select([go[0]], [], [], 10)
            os.fsync(fd)
        tv._fsync = fsync
        info = tv.MESInfo()
        info.OPName = "live"
        info.Save()

    finished = start_child(paused_save)
    os.read(paused[0], 1)
    writing = set(os.listdir(".")) - {"info.cfg"}

    def kept():
        untouched = writing <= set(os.listdir("."))
        os.write(go[1], b"g")
        for fd in paused + go:
            os.close(fd)
        return finished() == "ok" and untouched and read("info.cfg") == FRESH.format("", "", "live", "")
    return kept


def long_name(tv, monkeypatch):
    name = "s" * 250
    monkeypatch.setattr(tv.MESInfo, "ININame", name)
    write(name, OLD)
    return lambda: read("info.cfg") == OLD


def killed_save_left_a_file(tv, monkeypatch):
    def killed_while_saving():
        tv._fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)
        tv.MESInfo().Save()

    start_child(killed_while_saving)()
    (left,) = leftovers(".")
    return lambda: left not in os.listdir(".")


def can_mount():
    try:
        return os.geteuid() == 0 and subprocess.call(["unshare", "-m", "true"], stderr=subprocess.DEVNULL) == 0
    except OSError:
        return False


def case(place, before_save=None, outcome="ok", saved_in="info.cfg", marks=()):
    return pytest.param(place, before_save, outcome, saved_in, id=place.__name__.replace("_", " "), marks=marks)


def needs(condition, reason):
    return pytest.mark.skipif(os.name != "posix" or not condition(), reason=reason)


@pytest.mark.skipif(os.name == "nt", reason="POSIX links, owners and permissions")
@pytest.mark.parametrize("place, before_save, outcome, saved_in", [
    case(symbolic_link, saved_in=os.path.join("line", "shared.cfg")),
    case(hard_link, saved_in="other.cfg"),
    case(read_only_folder, drop_privileges, marks=as_root_only),
    case(foreign_owner, marks=as_root_only),
    case(owner_not_ours_to_give, drop_privileges, marks=as_root_only),
    case(link_of_another_user_in_a_sticky_folder, outcome="PermissionError" if protected_links() else "ok",
         saved_in=None if protected_links() else "info.cfg", marks=as_root_only),
    case(bind_mounted, mount_host_file, saved_in="host.cfg", marks=needs(can_mount, "needs a mount namespace")),
    case(device_through_a_link, outcome="OSError", saved_in=None, marks=as_root_only),   # fsync of a device: EINVAL
    case(acl_and_attribute, marks=needs(lambda: hasattr(os, "setxattr") and os.path.exists("/usr/bin/setfacl"),
                                        "needs setfacl and extended attributes")),
    case(private_file, watch_new_files),
    case(predictable_names_taken),
    case(live_save_elsewhere, saved_in=None),
    case(long_name, saved_in="s" * 250),
    case(killed_save_left_a_file),
])
def test_save_keeps_what_the_file_had(tv, in_tmp, monkeypatch, old, place, before_save, outcome, saved_in):
    """Nothing of the old file is lost by a save: it is replaced in one step
    only where the new file can be made just like it, else rewritten in place
    through the name given, as a plain program would."""
    os.chmod(in_tmp, 0o777)
    kept = place(tv, monkeypatch)
    before = set(os.listdir(in_tmp))

    def save():
        if before_save:
            before_save()
        old.OPName = "new"
        old.Save()

    try:
        assert (start_child(save)() if before_save else outcome_of(save)) == outcome
    finally:
        os.chmod(in_tmp, 0o755)
    assert kept()
    if saved_in:
        assert read(saved_in) == NEW
    assert set(os.listdir(in_tmp)) <= before | {"info.cfg"}


@posix_only
def test_killed_in_the_middle_of_saving_the_file_is_old_or_new(tv, in_tmp):
    """A station that loses power while saving: kill a saving process at
    random moments, hundreds of times; each time info.cfg must be one of
    the complete versions."""
    versions = {}
    for name in ("old", "new"):
        info = tv.MESInfo()
        info.ProductType, info.MRNo, info.OPName, info.Slot = (name * 40,) * 4
        info.Save()
        versions[name] = read("info.cfg")
    complete = set(versions.values())
    rng = random.Random(7)
    seen = set()
    for _ in range(300):
        pid = os.fork()
        if pid == 0:
            try:
                info = tv.MESInfo()
                while True:
                    info.OPName = info.MRNo = info.ProductType = info.Slot = (
                        ("new" if info.OPName.startswith("old") else "old") * 40)
                    info.Save()
            finally:
                os._exit(1)
        time.sleep(rng.uniform(0, 0.004))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        text = read("info.cfg")
        assert text in complete, "cut or mixed file after a kill:\n" + text
        seen.add(text)
    assert len(seen) == 2, "the saving child never got to save"
    for name in leftovers(in_tmp):
        assert name.startswith("info.cfg.") and name.endswith(".tmp")
    tv.MESInfo().Save()
    assert leftovers(in_tmp) == []


@pytest.fixture
def protected_regular():
    """fs.protected_regular=1: no O_CREAT open of others' files in sticky folders."""
    setting = "/proc/sys/fs/protected_regular"
    try:
        with open(setting) as f:
            before = f.read()
        with open(setting, "w") as f:
            f.write("1")
    except OSError as error:
        pytest.skip("fs.protected_regular cannot be set here: %s" % error)
    yield
    with open(setting, "w") as f:
        f.write(before)


def another_users_file_in_a_sticky_folder(request):
    request.getfixturevalue("protected_regular")
    os.chmod(".", 0o1777)
    os.chown("info.cfg", 65534, 65534)
    os.chmod("info.cfg", 0o666)


def immutable_file(request):
    if subprocess.call(["chattr", "+i", "info.cfg"], stderr=subprocess.DEVNULL) != 0:
        pytest.skip("needs a file system with immutable files")
    request.addfinalizer(lambda: subprocess.call(["chattr", "-i", "info.cfg"]))


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="needs root")
@pytest.mark.parametrize("refusing", [another_users_file_in_a_sticky_folder, immutable_file],
                         ids=lambda place: place.__name__.replace("_", " "))
def test_the_kernels_refusals_are_the_saves(tv, in_tmp, request, old, refusing):
    """Where the kernel refuses a plain program's open(name, "w"), even to
    root, Save fails with the same error and writes nothing."""
    refusing(request)
    before = os.stat("info.cfg")
    expected = error_rewriting("info.cfg")
    assert expected is not None
    old.OPName = "new"
    with pytest.raises(expected):
        old.Save()
    after = os.stat("info.cfg")
    assert (after.st_ino, after.st_uid, after.st_mtime_ns) == (before.st_ino, before.st_uid, before.st_mtime_ns)
    assert read("info.cfg") == OLD
    assert leftovers(in_tmp) == []


def count_saves(tv, saves):
    """How many of `saves` saves rewrote in place, told by the file synced."""
    in_place = []

    def fsync(fd):
        if not os.readlink("/proc/self/fd/%d" % fd).endswith(".tmp"):
            in_place.append(fd)
        os.fsync(fd)

    tv._fsync = fsync
    info = tv.MESInfo()
    for n in range(saves):
        info.OPName = "save %d" % n
        info.Save()
    return len(in_place)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="tells synced files by /proc/self/fd")
def test_concurrent_saves_never_undo_each_other(tv, in_tmp, monkeypatch):
    """Two threads and two processes saving at once: each save replaces the
    file in one step; none finds its new file cleaned up by another."""
    monkeypatch.setattr(tv, "_fsync", tv._fsync)
    saves = 200
    counts = []
    threads = [threading.Thread(target=lambda: counts.append(count_saves(tv, saves))) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert counts == [0, 0]
    children = [start_child(lambda: count_saves(tv, saves) == 0 or os._exit(1)) for _ in range(2)]
    assert [child() for child in children] == ["ok", "ok"]
    assert leftovers(in_tmp) == []
    assert tv.MESInfo().OPName == "save %d" % (saves - 1)


@pytest.mark.parametrize("name", ["", "dir/"])
def test_an_empty_base_name_cleans_up_nothing(tv, in_tmp, name):
    """A file of another program named like a new file of a save stays."""
    os.mkdir("dir")
    others = [os.path.join(folder, ".0123456789ab.tmp") for folder in (".", "dir")]
    for other in others:
        write(other, "another program's")
    info = tv.MESInfo()
    info.ININame = name
    with pytest.raises(error_rewriting(name)):
        info.Save()
    assert [read(other) for other in others] == ["another program's"] * 2
