#include "settings_file.hpp"

#include <cerrno>

#include "../capi/context.hpp"
#include "../state/module_state.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// How many names a new file may try before giving up.
constexpr int kTemporaryNameAttempts = 100;
// How long a replacement refused by a file held open elsewhere is tried
// again, in seconds, and the first and longest pause between two tries.
constexpr double kReplaceWait = 1.0;
constexpr double kFirstPause = 0.01;
constexpr double kLongestPause = 0.2;
#ifdef _WIN32
// A new file of a save that has not changed for this long (seconds) has no
// writer left: no save takes more than a few seconds.
constexpr double kLeftoverAge = 600.0;
#endif

// What the os module offers here, found on the first save.
struct Platform {
    PyObject* probe_flags = nullptr;  // O_WRONLY | O_APPEND | O_NOFOLLOW where there is one
    PyObject* read_only = nullptr;    // O_RDONLY
    PyObject* mode_bits = nullptr;    // 0o7777
    bool no_follow = false;           // a symbolic link makes the probe fail with ELOOP
    bool has_fchown = false;
    bool has_fchmod = false;
};

bool has(PyObject* os, PyObject* name, bool& answer) {
    const int found = PyObject_HasAttr(os, name);
    answer = found > 0;
    return found >= 0;
}

const Platform* platform(PyObject* os) {
    static Kept<Platform> kept_platform;
    static Kept<bool> kept_ready;
    Platform& p = kept_platform.value();
    bool& ready = kept_ready.value();
    if (ready) {
        return &p;
    }
    const Texts& t = texts();
    if (!has(os, t.O_NOFOLLOW, p.no_follow) || !has(os, t.fchown, p.has_fchown) ||
        !has(os, t.fchmod, p.has_fchmod)) {
        return nullptr;
    }
    Ref write_only = attr(os, t.O_WRONLY);
    Ref append = write_only ? attr(os, t.O_APPEND) : Ref();
    Ref flags = append ? Ref::steal(PyNumber_Or(write_only.get(), append.get())) : Ref();
    if (flags && p.no_follow) {
        Ref no_follow = attr(os, t.O_NOFOLLOW);
        flags = no_follow ? Ref::steal(PyNumber_Or(flags.get(), no_follow.get())) : Ref();
    }
    Ref read_only = flags ? attr(os, t.O_RDONLY) : Ref();
    Ref bits = read_only ? Ref::steal(PyLong_FromLong(07777)) : Ref();
    if (!bits) {
        return nullptr;
    }
    p.probe_flags = flags.release();
    p.read_only = read_only.release();
    p.mode_bits = bits.release();
    ready = true;
    return &p;
}

// ".<pid>.0.tmp", the end of the first name a new file tries, and the pid as
// a text: made again only when the process id changes (after a fork). Kept
// for the life of the interpreter.
struct Tail {
    PyObject* pid = nullptr;
    PyObject* pid_text = nullptr;
    PyObject* first = nullptr;
};

const Tail* tail(PyObject* os) {
    static Kept<Tail> kept_tail;
    Tail& cached = kept_tail.value();
    Ref pid = call_method(os, texts().getpid);
    if (!pid) {
        return nullptr;
    }
    if (cached.pid != nullptr) {
        const int same = PyObject_RichCompareBool(pid.get(), cached.pid, Py_EQ);
        if (same != 0) {
            return same > 0 ? &cached : nullptr;
        }
    }
    Ref text = Ref::steal(PyObject_Str(pid.get()));
    Ref first = text ? Ref::steal(PyUnicode_FromFormat(".%U.0.tmp", text.get())) : Ref();
    if (!first) {
        return nullptr;
    }
    Py_XDECREF(cached.pid);
    Py_XDECREF(cached.pid_text);
    Py_XDECREF(cached.first);
    cached.pid = pid.release();
    cached.pid_text = text.release();
    cached.first = first.release();
    return &cached;
}

// path = os.fsdecode(path): a text, or the TypeError that using anything
// else as a path raises.
Ref text_path(PyObject* os, PyObject* path) {
    if (PyUnicode_CheckExact(path)) {
        return Ref::borrow(path);
    }
    Ref text = call_method(os, texts().fsdecode, path);
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text;
}

// The raised error is an OSError whose errno is `number`.
bool raised_errno(long number) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return false;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* code = value != nullptr ? PyObject_GetAttr(value, texts().errno_name) : nullptr;
    const long found = code != nullptr && PyLong_Check(code) ? PyLong_AsLong(code) : -1;
    Py_XDECREF(code);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return found == number;
}

// The status of the file to write, or None when there is none yet. The
// file is opened for writing without being created or changed, so that one
// that may not be written is refused here, as rewriting it would be. A
// symbolic link is followed: `path` becomes the file it names, which is the
// one to replace.
Ref examine(PyObject* os, const Platform& p, Ref& path) {
    const Texts& t = texts();
    for (int follow = 0;; ++follow) {
        if (follow == 0 && !p.no_follow) {
            // No O_NOFOLLOW here: ask whether it is a link.
            Ref os_path = attr(os, t.path);
            Ref link = os_path ? call_method(os_path.get(), t.islink, path.get()) : Ref();
            const int is_link = link ? PyObject_IsTrue(link.get()) : -1;
            if (is_link < 0) {
                return Ref();
            }
            if (is_link > 0) {
                continue;
            }
        }
        if (follow > 0) {
            Ref os_path = attr(os, t.path);
            path = os_path ? call_method(os_path.get(), t.realpath, path.get()) : Ref();
            if (!path || !PyUnicode_Check(path.get())) {
                if (path) {
                    PyErr_SetString(PyExc_TypeError, "os.path.realpath gave no text");
                }
                return Ref();
            }
        }
        Ref descriptor = call_method(os, t.os_open, path.get(), p.probe_flags);
        if (!descriptor) {
            if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
                PyErr_Clear();
                return Ref::borrow(Py_None);
            }
            if (follow == 0 && p.no_follow && raised_errno(ELOOP)) {
                PyErr_Clear();
                continue;
            }
            return Ref();
        }
        Ref status = call_method(os, t.fstat, descriptor.get());
        if (!status) {
            ExceptScope pending;
            if (!call_method(os, t.os_close, descriptor.get())) {
                return Ref();
            }
            pending.reraise();
            return Ref();
        }
        if (!call_method(os, t.os_close, descriptor.get())) {
            return Ref();
        }
        return status;
    }
}

// Clears an error that an `except Exception:` would catch and says so;
// leaves an interrupt or an exit raised.
bool ignored() {
    if (!raised_exception_is_ordinary()) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// The process id in `entry` when it is named "<base>.<pid>.<n>.tmp" (both
// numbers in ASCII digits), else null without an error.
Ref leftover_pid(PyObject* entry, Py_ssize_t base_length, PyObject* base, PyObject* suffix) {
    if (!PyUnicode_Check(entry) || compat::unicode_ready(entry) < 0) {
        PyErr_Clear();
        return Ref();
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(entry);
    if (length < base_length + 8 || PyUnicode_Tailmatch(entry, base, 0, base_length, -1) != 1 ||
        PyUnicode_Tailmatch(entry, suffix, 0, length, 1) != 1 ||
        PyUnicode_READ_CHAR(entry, base_length) != '.') {
        return Ref();
    }
    Py_ssize_t dot = -1;
    for (Py_ssize_t i = base_length + 1; i < length - 4; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(entry, i);
        if (c == '.' && dot == -1 && i > base_length + 1) {
            dot = i;
        } else if (c < '0' || c > '9') {
            return Ref();
        }
    }
    if (dot == -1 || dot == length - 5) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Substring(entry, base_length + 1, dot));
}

// Whether the new file `name` of a save can have no writer left.
// Returns 1 when it has none, 0 when it may have one, -1 with an interrupt
// raised.
int abandoned(PyObject* os, PyObject* pid_text, PyObject* name) {
#ifndef _WIN32
    (void)name;
    // os.kill(pid, 0) sends nothing: it only asks whether the process is there.
    Ref pid = Ref::steal(PyLong_FromUnicodeObject(pid_text, 10));
    Ref alive = pid ? call_method(os, texts().kill, pid.get(), module_state().zero) : Ref();
    if (alive) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_ProcessLookupError)) {
        PyErr_Clear();
        return 1;
    }
#else
    // On Windows os.kill ends the process; the age of the file tells instead.
    (void)pid_text;
    const Texts& t = texts();
    Ref status = call_method(os, t.stat, name);
    Ref changed = status ? attr(status.get(), t.modified) : Ref();
    Ref time = changed ? Ref::steal(PyImport_ImportModule("time")) : Ref();
    Ref now = time ? call_method(time.get(), t.time) : Ref();
    const double age = now ? PyFloat_AsDouble(now.get()) - PyFloat_AsDouble(changed.get()) : 0.0;
    if (now && !PyErr_Occurred()) {
        return age > kLeftoverAge ? 1 : 0;
    }
#endif
    return ignored() ? 0 : -1;
}

// Removes the new files of saves beside the file (named "<base>.<pid>.<n>.tmp")
// that no running process is writing: their writer died before putting them
// in place. A file that cannot be listed or removed is left; false only with
// an interrupt raised.
bool remove_leftovers(PyObject* os, PyObject* folder, PyObject* base, const Tail& own) {
    const Texts& t = texts();
    Ref names = call_method(os, t.listdir, PyUnicode_GET_LENGTH(folder) == 0 ? t.curdir : folder);
    if (!names || !PyList_Check(names.get())) {
        return !names ? ignored() : true;
    }
    const Py_ssize_t base_length = PyUnicode_GET_LENGTH(base);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref pid = leftover_pid(entry.get(), base_length, base, t.tmp_suffix);
        if (!pid) {
            continue;
        }
        const int own_pid = PyUnicode_Compare(pid.get(), own.pid_text);
        if (own_pid == 0) {
            continue;
        }
        Ref name = Ref::steal(PyUnicode_Concat(folder, entry.get()));
        const int gone = name ? abandoned(os, pid.get(), name.get()) : (ignored() ? 0 : -1);
        if (gone < 0) {
            return false;
        }
        if (gone > 0 && !call_method(os, t.remove, name.get()) && !ignored()) {
            return false;
        }
    }
    return true;
}

// open("<path>.<pid>.<n>.tmp", "x") for the first n whose name is free.
// Null without an error when the folder refuses new files.
Ref create_temporary(PyObject* path, const Tail& own, Ref& name) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        name = Ref::steal(attempt == 0 ? PyUnicode_Concat(path, own.first)
                                       : PyUnicode_FromFormat("%U.%U.%d.tmp", path, own.pid_text, attempt));
        if (!name) {
            return Ref();
        }
        Ref file = call(module_state().open, name.get(), texts().exclusive_mode);
        if (file) {
            return file;
        }
        if (PyErr_ExceptionMatches(PyExc_PermissionError)) {
            PyErr_Clear();
            return Ref();
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            return Ref();
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_FileExistsError, "no free name for a new file beside %R", path);
    return Ref();
}

// parser.write(f); f.flush(); _fsync(descriptor)
bool write_and_sync(PyObject* parser, PyObject* f, PyObject* descriptor) {
    const Texts& t = texts();
    if (!call_method(parser, t.write, f) || !call_method(f, t.flush)) {
        return false;
    }
    Ref fsync = global(module_names().fsync);
    return fsync && call(fsync.get(), descriptor);
}

// The new file gets the old one's owner, group and permission bits. False
// with no error when the owner or group cannot be given (the process may
// not), false with the error set on any other failure.
bool take_over(PyObject* os, const Platform& p, PyObject* name, PyObject* descriptor, PyObject* status,
               bool& kept) {
    const Texts& t = texts();
    if (p.has_fchown) {
        Ref uid = attr(status, t.st_uid);
        Ref gid = uid ? attr(status, t.st_gid) : Ref();
        if (!gid) {
            return false;
        }
        if (!call_method(os, t.fchown, descriptor, uid.get(), gid.get())) {
            if (!PyErr_ExceptionMatches(PyExc_PermissionError)) {
                return false;
            }
            PyErr_Clear();
            kept = false;
            return true;
        }
    }
    Ref mode = attr(status, t.st_mode);
    Ref bits = mode ? Ref::steal(PyNumber_And(mode.get(), p.mode_bits)) : Ref();
    if (!bits) {
        return false;
    }
    return p.has_fchmod ? static_cast<bool>(call_method(os, t.fchmod, descriptor, bits.get()))
                        : static_cast<bool>(call_method(os, t.chmod, name, bits.get()));
}

// os.replace(name, path), tried again for about a second while it is
// refused: on Windows a file that a scanner, an indexer or an editor holds
// open cannot be replaced until it is closed.
bool replace(PyObject* os, PyObject* name, PyObject* path) {
    const Texts& t = texts();
    double waited = 0.0;
    for (double pause = kFirstPause;; pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause) {
        if (call_method(os, t.os_replace, name, path)) {
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_PermissionError) || waited >= kReplaceWait) {
            return false;
        }
        PyErr_Clear();
        Ref time = Ref::steal(PyImport_ImportModule("time"));
        Ref seconds = time ? Ref::steal(PyFloat_FromDouble(pause)) : Ref();
        if (!seconds || !call_method(time.get(), t.sleep, seconds.get())) {
            return false;
        }
        waited += pause;
    }
}

// Removes the unfinished new file; the error that stopped the save stays
// the one reported, unless the removal is interrupted.
void discard(PyObject* os, PyObject* name) {
    ExceptScope pending;
    if (!call_method(os, texts().remove, name) && !ignored()) {
        return;
    }
    pending.reraise();
}

// Makes the replacement itself durable. By then the new content is complete
// and in place, so a folder that cannot be synced (some file systems refuse)
// does not make the save fail; an interrupt or an exit still goes on.
// Windows has no folder sync.
bool sync_folder(PyObject* os, const Platform& p, PyObject* folder) {
#ifndef _WIN32
    const Texts& t = texts();
    Ref descriptor = call_method(os, t.os_open, PyUnicode_GET_LENGTH(folder) == 0 ? t.curdir : folder, p.read_only);
    if (!descriptor) {
        return ignored();
    }
    if (!call_method(os, t.os_fsync, descriptor.get()) && !ignored()) {
        // The descriptor is closed all the same, as a `finally` would.
        ExceptScope pending;
        if (!call_method(os, t.os_close, descriptor.get()) && !ignored()) {
            return false;
        }
        pending.reraise();
        return false;
    }
    return call_method(os, t.os_close, descriptor.get()) || ignored();
#else
    (void)os;
    (void)p;
    (void)folder;
    return true;
#endif
}

// A new file with the content, given the old one's owner, group and mode,
// put in place of `path` in one step. 1 when done, 0 when the folder
// refuses new files or the owner cannot be kept (nothing changed, no error),
// -1 with the error set.
int replace_atomically(PyObject* os, const Platform& p, const Tail& own, PyObject* path, PyObject* folder,
                       PyObject* status, PyObject* parser) {
    const Texts& t = texts();
    Ref name;
    Ref file = create_temporary(path, own, name);
    if (!file) {
        return PyErr_Occurred() ? -1 : 0;
    }
    bool kept = true;
    const bool written = with_block(file.get(), [&](PyObject* f) {
        Ref descriptor = call_method(f, t.fileno);
        if (!descriptor ||
            (status != Py_None && !take_over(os, p, name.get(), descriptor.get(), status, kept))) {
            return false;
        }
        return !kept || write_and_sync(parser, f, descriptor.get());
    });
    if (!written || (kept && !replace(os, name.get(), path))) {
        discard(os, name.get());
        return -1;
    }
    if (!kept) {
        return call_method(os, t.remove, name.get()) || ignored() ? 0 : -1;
    }
    return sync_folder(os, p, folder) ? 1 : -1;
}

// with open(path, "w") as f: parser.write(f); f.flush(); _fsync(f.fileno())
bool rewrite_in_place(PyObject* path, PyObject* parser) {
    Ref file = call(module_state().open, path, texts().write_mode);
    return file && with_block(file.get(), [&](PyObject* f) {
        Ref descriptor = call_method(f, texts().fileno);
        return descriptor && write_and_sync(parser, f, descriptor.get());
    });
}

// The index just past the last folder separator of `path`, 0 when it has none.
Py_ssize_t folder_end(PyObject* path) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
#ifdef _WIN32
    const Py_ssize_t backslash = PyUnicode_FindChar(path, '\\', 0, length, -1);
    slash = backslash > slash ? backslash : slash;
#endif
    return slash + 1;
}

}  // namespace

bool write_settings_file(PyObject* path_object, PyObject* parser) noexcept {
    Ref os = Ref::steal(compat::imported_module(texts().os));
    if (!os) {
        return false;
    }
    const Platform* p = platform(os.get());
    Ref path = p ? text_path(os.get(), path_object) : Ref();
    Ref status = path ? examine(os.get(), *p, path) : Ref();
    if (!status || compat::unicode_ready(path.get()) < 0) {
        return false;
    }
    const Py_ssize_t end = folder_end(path.get());
    if (end < 0) {
        return false;
    }
    const Tail* own = tail(os.get());
    Ref folder = own ? Ref::steal(PyUnicode_Substring(path.get(), 0, end)) : Ref();
    Ref base = folder ? Ref::steal(PyUnicode_Substring(path.get(), end, PyUnicode_GET_LENGTH(path.get()))) : Ref();
    if (!base || !remove_leftovers(os.get(), folder.get(), base.get(), *own)) {
        return false;
    }
    // A file with other names (hard links) must stay the one file they all name.
    int single = 1;
    if (status.get() != Py_None) {
        Ref links = attr(status.get(), texts().st_nlink);
        single = links ? PyObject_RichCompareBool(links.get(), module_state().one, Py_EQ) : -1;
        if (single < 0) {
            return false;
        }
    }
    if (single > 0) {
        const int replaced = replace_atomically(os.get(), *p, *own, path.get(), folder.get(), status.get(), parser);
        if (replaced != 0) {
            return replaced > 0;
        }
    }
    return rewrite_in_place(path.get(), parser);
}

}  // namespace tessavor::station
