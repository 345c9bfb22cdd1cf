"""MESInfo and info.cfg: reading, the file's exact layout, and saving that
never destroys the file."""

import configparser
import io
import os
import random
import signal
import stat
import time

import pytest

from support import FILE_ENCODING, OPERATOR, OTHER_OPERATOR

try:
    import resource
except ImportError:  # not on Windows
    resource = None

# Forked children, permission bits, other users and resource limits.
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs fork, permission bits, users and resource limits")

FRESH = ("[DEFAULT]\n"
         "producttype = \n"
         "mrno = \n"
         "slot = \n"
         "opname = \n"
         "\n"
         "[Sec]\n"
         "producttype = {}\n"
         "mrno = {}\n"
         "opname = {}\n"
         "slot = {}\n"
         "\n")


def encodable(text):
    try:
        text.encode(FILE_ENCODING)
    except UnicodeEncodeError:
        return False
    return True


# A text the encoding of the station's files cannot hold.
UNENCODABLE = next(text for text in ("€", "\udc80") if not encodable(text))


def write(path, text):
    with open(path, "w", encoding=FILE_ENCODING) as f:
        f.write(text)


def read(path):
    with open(path, encoding=FILE_ENCODING) as f:
        return f.read()


def file_bytes(text):
    """The bytes the host's text mode writes for text (CRLF on Windows)."""
    buffer = io.BytesIO()
    wrapper = io.TextIOWrapper(buffer, encoding=FILE_ENCODING)
    wrapper.write(text)
    wrapper.flush()
    return buffer.getvalue()


def error_rewriting(path):
    """The error the host raises for rewriting path in place."""
    try:
        open(path, "w").close()
    except OSError as error:
        return type(error)


def leftovers(folder):
    """Files in the folder besides info.cfg: unfinished new files."""
    return sorted(name for name in os.listdir(folder) if name != "info.cfg")


class TestReading:
    def test_without_a_file_the_values_are_empty_and_nothing_is_created(self, tv, in_tmp):
        info = tv.MESInfo()
        assert (info.ProductType, info.MRNo, info.OPName, info.Slot) == ("", "", "", "")
        assert os.listdir(in_tmp) == []

    def test_private_parser_and_instance_attributes(self, tv, in_tmp):
        info = tv.MESInfo()
        assert list(vars(info)) == ["_MESInfo__ini", "ProductType", "MRNo", "OPName", "Slot"]
        parser = vars(info)["_MESInfo__ini"]
        assert isinstance(parser, configparser.ConfigParser)
        assert parser.has_section("Sec")
        assert list(parser.defaults().items()) == [("producttype", ""), ("mrno", ""), ("slot", ""),
                                                   ("opname", "")]

    def test_a_section_with_one_key(self, tv, in_tmp):
        write("info.cfg", "[Sec]\nmrno = MR-42\n")
        info = tv.MESInfo()
        assert (info.ProductType, info.MRNo, info.OPName, info.Slot) == ("", "MR-42", "", "")

    def test_keys_ignore_case_and_values_are_trimmed(self, tv, in_tmp):
        write("info.cfg", "[Sec]\nMRNO =   MR 7  \nProductType:X1\nOPNAME\t=\t%s\t\n" % OPERATOR)
        info = tv.MESInfo()
        assert info.MRNo == "MR 7"
        assert info.ProductType == "X1"
        assert info.OPName == OPERATOR

    def test_section_name_is_case_sensitive(self, tv, in_tmp):
        write("info.cfg", "[sec]\nopname = lower\n")
        info = tv.MESInfo()
        assert info.OPName == ""
        info.OPName = "upper"
        info.Save()
        assert read("info.cfg") == ("[DEFAULT]\nproducttype = \nmrno = \nslot = \nopname = \n\n"
                                    "[sec]\nopname = lower\n\n" + FRESH.split("\n\n", 1)[1].format("", "", "upper", ""))

    def test_defaults_of_the_file_fill_missing_keys(self, tv, in_tmp):
        write("info.cfg", "[DEFAULT]\nslot = S9\n[Sec]\nmrno = M\n")
        info = tv.MESInfo()
        assert (info.MRNo, info.Slot) == ("M", "S9")

    def test_interpolation_when_reading(self, tv, in_tmp):
        write("info.cfg", "[Sec]\nmrno = MR\nproducttype = %(mrno)s-1\nslot = 100%%\n")
        info = tv.MESInfo()
        assert (info.ProductType, info.Slot) == ("MR-1", "100%")

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

    def test_a_folder_named_like_the_file_is_not_read(self, tv, in_tmp):
        os.mkdir("info.cfg")
        assert tv.MESInfo().OPName == ""

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
    def test_fresh_save_writes_the_layout_byte_for_byte(self, tv, in_tmp):
        info = tv.MESInfo()
        info.ProductType, info.MRNo, info.OPName, info.Slot = "P-1", "MR#7", OPERATOR, "S2"
        assert info.Save() is None
        with open("info.cfg", "rb") as f:
            assert f.read() == file_bytes(FRESH.format("P-1", "MR#7", OPERATOR, "S2"))
        assert leftovers(in_tmp) == []

    def test_saving_twice_writes_the_same(self, tv, in_tmp):
        info = tv.MESInfo()
        info.OPName = "op"
        info.Save()
        first = read("info.cfg")
        info.Save()
        assert read("info.cfg") == first

    def test_values_survive_a_round_trip(self, tv, in_tmp):
        info = tv.MESInfo()
        values = (OPERATOR + " A", "MR 1", " ".join(OTHER_OPERATOR), "#3")
        info.ProductType, info.MRNo, info.OPName, info.Slot = values
        info.Save()
        again = tv.MESInfo()
        assert (again.ProductType, again.MRNo, again.OPName, again.Slot) == values

    def test_other_sections_and_keys_survive_but_comments_do_not(self, tv, in_tmp):
        write("info.cfg", "# station 7\n[Other]\nkey = value\n[Sec]\nextra = kept\nopname = old\n; note\n")
        info = tv.MESInfo()
        info.OPName = "new"
        info.Save()
        text = read("info.cfg")
        assert "#" not in text and ";" not in text
        parser = configparser.ConfigParser()
        parser.read("info.cfg")
        assert parser.sections() == ["Other", "Sec"]
        assert parser.get("Other", "key") == "value"
        assert parser.get("Sec", "extra") == "kept"
        assert parser.get("Sec", "opname") == "new"

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

    def test_the_file_name_on_one_instance_redirects_only_it(self, tv, in_tmp):
        os.mkdir("sub")
        write(os.path.join("sub", "other.cfg"), "[Sec]\nopname = other\n")
        redirected = tv.MESInfo.__new__(tv.MESInfo)
        redirected.ININame = os.path.join("sub", "other.cfg")
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

    def test_a_path_object_as_file_name(self, tv, in_tmp):
        import pathlib
        info = tv.MESInfo()
        info.ININame = pathlib.Path(in_tmp) / "path.cfg"
        info.OPName = "p"
        info.Save()
        assert "opname = p\n" in read("path.cfg")

    @pytest.mark.parametrize("value, error", [(42, TypeError), (UNENCODABLE, UnicodeEncodeError)])
    def test_a_value_that_cannot_be_stored_leaves_the_old_file(self, tv, in_tmp, value, error):
        info = tv.MESInfo()
        info.OPName = "kept " + OPERATOR
        info.Save()
        before = read("info.cfg")
        info.MRNo = "changed in memory"
        info.OPName = value
        with pytest.raises(error):
            info.Save()
        assert read("info.cfg") == before
        assert vars(info)["_MESInfo__ini"].get("Sec", "mrno") == "changed in memory"
        assert leftovers(in_tmp) == []

    def test_a_failing_sync_leaves_the_old_file(self, tv, in_tmp, monkeypatch):
        info = tv.MESInfo()
        info.OPName = "old"
        info.Save()
        before = read("info.cfg")
        synced = []

        def failing_fsync(fd):
            synced.append(fd)
            raise OSError(5, "Input/output error")

        monkeypatch.setattr(tv, "_fsync", failing_fsync)
        info.OPName = "new"
        with pytest.raises(OSError, match="Input/output error"):
            info.Save()
        assert len(synced) == 1
        assert read("info.cfg") == before
        assert leftovers(in_tmp) == []

    def test_the_file_data_is_synced_before_it_is_put_in_place(self, tv, in_tmp, monkeypatch):
        seen = []

        def fsync(fd):
            seen.append((os.fstat(fd).st_size, os.path.exists("info.cfg")))
            os.fsync(fd)

        monkeypatch.setattr(tv, "_fsync", fsync)
        info = tv.MESInfo()
        info.OPName = "x"
        info.Save()
        assert seen == [(len(file_bytes(FRESH.format("", "", "x", ""))), False)]

    @pytest.mark.skipif(os.name == "nt", reason="Windows has no folder sync")
    @pytest.mark.parametrize("raised", [OSError(22, "Invalid argument"), KeyboardInterrupt(), SystemExit(3)])
    def test_only_errors_of_the_folder_sync_are_ignored(self, tv, in_tmp, monkeypatch, raised):
        info = tv.MESInfo()
        info.OPName = "synced"
        real_fsync = os.fsync

        def fsync(fd):
            if stat.S_ISDIR(os.fstat(fd).st_mode):
                raise raised
            real_fsync(fd)

        monkeypatch.setattr(os, "fsync", fsync)
        if isinstance(raised, Exception):
            assert info.Save() is None
        else:
            with pytest.raises(type(raised)):
                info.Save()
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

    @pytest.mark.parametrize("refusals", [3, None])
    def test_a_replacement_refused_for_a_while(self, tv, in_tmp, monkeypatch, refusals):
        """A file held open elsewhere (on Windows) refuses to be replaced until
        it is closed: tried again for about a second, then the error."""
        info = tv.MESInfo()
        info.OPName = "old"
        info.Save()
        real_replace, tries = os.replace, []

        def replace(source, target):
            tries.append(time.monotonic())
            if refusals is None or len(tries) <= refusals:
                raise PermissionError(13, "Permission denied", target)
            real_replace(source, target)

        monkeypatch.setattr(os, "replace", replace)
        info.OPName = "new"
        if refusals:
            info.Save()
        else:
            with pytest.raises(PermissionError):
                info.Save()
            assert tries[-1] - tries[0] >= 1.0 and len(tries) < 50   # about a second, a bounded number of tries
        assert read("info.cfg") == FRESH.format("", "", "old" if refusals is None else "new", "")
        assert leftovers(in_tmp) == []

    @posix_only
    def test_permission_bits_are_kept(self, tv, in_tmp):
        write("info.cfg", "[Sec]\n")
        os.chmod("info.cfg", 0o640)
        tv.MESInfo().Save()
        assert stat.S_IMODE(os.stat("info.cfg").st_mode) == 0o640

    def test_a_folder_named_like_the_file_makes_save_fail(self, tv, in_tmp):
        os.mkdir("info.cfg")
        with pytest.raises(error_rewriting("info.cfg")):
            tv.MESInfo().Save()
        assert leftovers(in_tmp) == []


def in_child(action):
    """Runs action() in a forked child; returns the name of the exception it
    raised, or "ok"."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            action()
            outcome = "ok"
        except BaseException as error:  # reported to the parent
            outcome = type(error).__name__
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        outcome = pipe.read()
    os.waitpid(pid, 0)
    return outcome


def as_root_only():
    return pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root")


def drop_privileges():
    """Root passes every permission check; the checks need another user."""
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)


@posix_only
class TestPlacesThatRefuse:
    @pytest.fixture
    def saved(self, tv, in_tmp):
        info = tv.MESInfo()
        info.OPName = "old"
        info.Save()
        os.chmod(in_tmp, 0o777)
        return read("info.cfg")

    def change_and_save(self, tv):
        info = tv.MESInfo()
        info.OPName = "new " * 100
        info.Save()

    def test_a_full_disk(self, tv, in_tmp, saved):
        def full_disk():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))
            self.change_and_save(tv)

        assert in_child(full_disk) == "OSError"
        assert read("info.cfg") == saved
        assert leftovers(in_tmp) == []

    def test_a_read_only_file_is_not_replaced(self, tv, in_tmp, saved):
        os.chmod("info.cfg", 0o444)

        def read_only():
            drop_privileges()
            self.change_and_save(tv)

        assert in_child(read_only) == "PermissionError"
        assert read("info.cfg") == saved
        assert leftovers(in_tmp) == []


def symbolic_link(folder):
    os.mkdir("line")
    os.rename("info.cfg", os.path.join("line", "shared.cfg"))
    os.symlink(os.path.join("line", "shared.cfg"), "info.cfg")
    return lambda: os.path.islink("info.cfg") and leftovers(os.path.join(folder, "line")) == ["shared.cfg"]


def hard_link(folder):
    os.link("info.cfg", "other.cfg")
    return lambda: os.path.samefile("info.cfg", "other.cfg") and os.stat("info.cfg").st_nlink == 2


def read_only_folder(folder):
    os.chmod("info.cfg", 0o666)
    os.chmod(folder, 0o555)
    return lambda: os.stat("info.cfg").st_uid == 0


def foreign_owner(folder):
    os.chown("info.cfg", 4242, 4343)
    os.chmod("info.cfg", 0o604)
    return lambda: (os.stat("info.cfg").st_uid, os.stat("info.cfg").st_gid,
                    stat.S_IMODE(os.stat("info.cfg").st_mode)) == (4242, 4343, 0o604)


def owner_not_ours_to_give(folder):
    os.chmod("info.cfg", 0o666)
    return lambda: os.stat("info.cfg").st_uid == 0


@pytest.mark.skipif(os.name == "nt", reason="POSIX links, owners and permissions")
@pytest.mark.parametrize("place, other_user", [
    pytest.param(symbolic_link, False, id="symbolic link"),
    pytest.param(hard_link, False, id="hard link"),
    pytest.param(read_only_folder, True, id="read-only folder", marks=as_root_only()),
    pytest.param(foreign_owner, False, id="foreign owner", marks=as_root_only()),
    pytest.param(owner_not_ours_to_give, True, id="owner not ours to give", marks=as_root_only()),
])
def test_save_keeps_what_the_file_had(tv, in_tmp, place, other_user):
    """Links, owner, group and mode survive a save: the file is replaced in
    one step where the new one can have them all, else rewritten in place."""
    info = tv.MESInfo()
    info.OPName = "old"
    info.Save()
    os.chmod(in_tmp, 0o777)
    kept = place(in_tmp)

    def save():
        if other_user:
            drop_privileges()
        info = tv.MESInfo()
        info.OPName = "new"
        info.Save()

    try:
        assert (in_child(save) if other_user else save()) in ("ok", None)
    finally:
        os.chmod(in_tmp, 0o755)
    assert read("info.cfg") == FRESH.format("", "", "new", "")
    assert kept()
    assert [name for name in leftovers(in_tmp) if ".tmp" in name] == []


@pytest.mark.skipif(os.name == "nt", reason="a process probed by its id")
def test_new_files_left_by_a_dead_process_are_removed(tv, in_tmp, monkeypatch):
    def killed_while_saving():
        monkeypatch.setattr(tv, "_fsync", lambda fd: os.kill(os.getpid(), signal.SIGKILL))
        tv.MESInfo().Save()

    in_child(killed_while_saving)
    (dead,) = leftovers(in_tmp)
    others = ["info.cfg.%d.0.tmp" % os.getppid(), "info.cfg.1.x.tmp", "info.cfg.bak", "other.cfg.99999999.0.tmp"]
    for name in others:
        write(name, "kept")
    info = tv.MESInfo()
    info.OPName = "after"
    info.Save()
    assert read("info.cfg") == FRESH.format("", "", "after", "")
    assert leftovers(in_tmp) == sorted(others), dead


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
    kills = 300
    seen = set()
    for _ in range(kills):
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
