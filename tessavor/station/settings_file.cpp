#include "settings_file.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

#include "../capi/context.hpp"
#include "../state/module_state.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// st_mode: the file type bits, a regular file's type, the permission bits.
constexpr long kFileType = 0170000, kRegularFile = 0100000, kModeBits = 07777;
// Random bytes in a new file's name, as twelve hexadecimal digits.
constexpr int kRandomBytes = 6;
constexpr Py_ssize_t kRandomDigits = 2 * kRandomBytes;
// Opening flags: a link as the last name not followed, no wait on a device
// or pipe (POSIX); no line-end translation below the file object (Windows).
#ifdef O_NOFOLLOW
constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK;
#else
constexpr int kNoFollow = 0;
#endif
#ifdef O_BINARY
constexpr int kBinary = O_BINARY;
#else
constexpr int kBinary = 0;
#endif

#ifdef _WIN32
// How long (seconds) a replacement refused because the file is held open
// elsewhere is tried again; the first and the longest pause between tries.
constexpr double kReplaceWait = 1.0, kFirstPause = 0.01, kLongestPause = 0.2;
#endif

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

// The errno of the raised OSError, 0 when it has none, -1 when the raised
// error is no OSError.
long raised_errno() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return -1;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* code = value != nullptr ? PyObject_GetAttr(value, texts().errno_name) : nullptr;
    const long found = code != nullptr && PyLong_Check(code) ? PyLong_AsLong(code) : 0;
    Py_XDECREF(code);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return found;
}

// A raised OSError that rewriting the file in place may still overcome:
// cleared, 0; anything else (a full place among them) stays raised, -1.
int rewrite_instead() {
    const long number = raised_errno();
    if (number < 0 || number == ENOSPC
#ifdef EDQUOT
        || number == EDQUOT
#endif
    ) {
        return -1;
    }
    PyErr_Clear();
    return 0;
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

// os.<name> when this platform's os module has it (borrowed), else null
// without an error.
PyObject* os_function(PyObject* os, PyObject* name) {
    return PyDict_GetItem(PyModule_GetDict(os), name);
}

// os.<name>(args...), the function taken from the module's dictionary: one
// lookup where an attribute would look at the module's type first.
template <class... Args>
Ref os_call(PyObject* os, PyObject* name, Args... args) {
    Ref function = Ref::borrow(os_function(os, name));
    if (!function) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return Ref();
    }
    return call(function.get(), args...);
}

// os.<name>(argument) as in a `finally` block: an error pending before it
// stays the one raised, an ordinary error of the call is ignored. False only
// when the call is interrupted.
bool finally_call(PyObject* os, PyObject* name, PyObject* argument) {
    ExceptScope pending;
    if (!os_call(os, name, argument) && !ignored()) {
        return false;
    }
    pending.reraise();
    return true;
}

// os.close(descriptor) as in a `finally` block; `ok` when it was not
// interrupted.
bool close_descriptor(PyObject* os, PyObject* descriptor, bool ok) {
    return finally_call(os, texts().os_close, descriptor) && ok;
}

// os.lockf(descriptor, os.F_TLOCK, 0): the lock that tells a new file in
// the writing from a leftover. 1 when taken (or where there are no such
// locks), 0 when another process holds it, -1 with the error set.
int lock(PyObject* os, PyObject* descriptor) {
    PyObject* lockf = os_function(os, texts().lockf);
    PyObject* at_once = lockf != nullptr ? os_function(os, texts().try_lock) : nullptr;
    if (at_once == nullptr) {
        return 1;
    }
    return call(lockf, descriptor, at_once, module_state().zero) ? 1 : rewrite_instead();
}

// Whether `entry` is named like a new file of a save of `base`:
// "<base>.<twelve hexadecimal digits>.tmp".
bool named_like_new_file(PyObject* entry, PyObject* base) {
    const Py_ssize_t start = PyUnicode_GET_LENGTH(base) + 1;
    if (!PyUnicode_Check(entry) || compat::unicode_ready(entry) < 0) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_GET_LENGTH(entry) != start + kRandomDigits + 4 ||
        PyUnicode_Tailmatch(entry, base, 0, start - 1, -1) != 1 ||
        PyUnicode_Tailmatch(entry, texts().tmp_suffix, 0, PY_SSIZE_T_MAX, 1) != 1 ||
        PyUnicode_READ_CHAR(entry, start - 1) != '.') {
        return false;
    }
    for (Py_ssize_t i = start; i < start + kRandomDigits; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(entry, i);
        if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
            return false;
        }
    }
    return true;
}

// Removes the new files of saves of `base` in `folder` that nobody is
// writing any more: their writer died before putting them in place. A
// saver holds the lock on its new file while it writes; on Windows a file
// held open cannot be removed. A file that cannot be listed, locked or
// removed is left; false only with an interrupt raised.
bool remove_leftovers(PyObject* os, PyObject* folder, PyObject* base) {
    const Texts& t = texts();
    Ref names = os_call(os, t.listdir, PyUnicode_GET_LENGTH(folder) == 0 ? t.curdir : folder);
    if (!names || !PyList_Check(names.get())) {
        return !names ? ignored() : true;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        if (!named_like_new_file(entry.get(), base)) {
            continue;
        }
        Ref name = Ref::steal(PyUnicode_Concat(folder, entry.get()));
        if (!name) {
            return false;
        }
        Ref descriptor;
        int unused = 1;
        if (os_function(os, t.lockf) != nullptr) {
            Ref flags = Ref::steal(PyLong_FromLong(O_WRONLY | kNoFollow));
            descriptor = flags ? os_call(os, t.os_open, name.get(), flags.get()) : Ref();
            unused = descriptor ? lock(os, descriptor.get()) : (ignored() ? 0 : -1);
        }
        if (unused > 0 && !os_call(os, t.remove, name.get())) {
            unused = ignored() ? 0 : -1;
        }
        if ((descriptor && !close_descriptor(os, descriptor.get(), unused >= 0)) || unused < 0) {
            return false;
        }
    }
    return true;
}

// The extended attributes of the file open as `descriptor` (on Linux an
// ACL is one), as a value equal for two files exactly when they have the
// same: {name: value}, or an empty list or tuple where there are none. Null
// without an error when they cannot be told (the file is then rewritten in
// place), null with the error set on a failure.
Ref attributes(PyObject* os, PyObject* descriptor) {
    PyObject* list = os_function(os, texts().listxattr);
    Ref names = list != nullptr ? call(list, descriptor) : Ref::steal(PyTuple_New(0));
    if (!names) {
        // EOPNOTSUPP: a file system without extended attributes.
        return raised_errno() != EOPNOTSUPP ? (rewrite_instead(), Ref()) : (PyErr_Clear(), Ref::steal(PyTuple_New(0)));
    }
    if (!PyList_Check(names.get()) || PyList_GET_SIZE(names.get()) == 0) {
        return names;
    }
    Ref found = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; found && i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        Ref value = os_call(os, texts().getxattr, descriptor, name);
        if (!value) {
            rewrite_instead();
            return Ref();
        }
        if (PyDict_SetItem(found.get(), name, value.get()) < 0) {
            return Ref();
        }
    }
    return found;
}

// A number of a status (st_mode, st_nlink), -1 with the error set.
long field(PyObject* status, PyObject* name) {
    Ref number = attr(status, name);
    return number ? PyLong_AsLong(number.get()) : -1;
}

// Whether the file at `path` may be replaced by a new one without losing
// anything: a regular file (not a link, not a device) with one name, that
// this process may write. Its status and extended attributes go to
// `status` and `kept`. 1 when it may, 0 when it must be rewritten in place
// (or is not there yet), -1 with the error set. A symbolic link is never
// followed here.
int replaceable(PyObject* os, PyObject* path, Ref& status, Ref& kept) {
    const Texts& t = texts();
#ifdef _WIN32
    // No O_NOFOLLOW here: a link is told by its own status.
    Ref own = os_call(os, t.lstat, path);
    if (!own) {
        return rewrite_instead();
    }
    if ((field(own.get(), t.st_mode) & kFileType) != kRegularFile) {
        return PyErr_Occurred() ? -1 : 0;
    }
#endif
    // Opened for writing, neither created nor changed: a file that may not
    // be written is refused by the rewrite, the way a plain program is.
    Ref flags = Ref::steal(PyLong_FromLong(O_WRONLY | O_APPEND | kNoFollow | kBinary));
    Ref descriptor = flags ? os_call(os, t.os_open, path, flags.get()) : Ref();
    if (!descriptor) {
        return flags ? rewrite_instead() : -1;
    }
    status = os_call(os, t.fstat, descriptor.get());
    kept = status ? attributes(os, descriptor.get()) : Ref();
    if (!close_descriptor(os, descriptor.get(), true) || !kept) {
        return PyErr_Occurred() ? -1 : 0;
    }
    const bool plain = (field(status.get(), t.st_mode) & kFileType) == kRegularFile &&
                       field(status.get(), t.st_nlink) == 1;
    return PyErr_Occurred() ? -1 : plain;
}

// Makes the new file open as `descriptor` what the old one was: locked
// while it is written, the old owner, group and permission bits, and the
// same extended attributes. 1 when it is, 0 when it cannot be (no error),
// -1 with the error set.
int take_over(PyObject* os, PyObject* descriptor, PyObject* status, PyObject* kept) {
    const Texts& t = texts();
    const int locked = lock(os, descriptor);
    if (locked <= 0) {
        return locked;
    }
    PyObject* fchown = os_function(os, t.fchown);
    if (fchown != nullptr) {
        Ref uid = attr(status, t.st_uid);
        Ref gid = uid ? attr(status, t.st_gid) : Ref();
        if (!gid) {
            return -1;
        }
        if (!call(fchown, descriptor, uid.get(), gid.get())) {
            return rewrite_instead();
        }
    }
    PyObject* fchmod = os_function(os, t.fchmod);
    if (fchmod != nullptr) {
        const long mode = field(status, t.st_mode);
        Ref bits = PyErr_Occurred() ? Ref() : Ref::steal(PyLong_FromLong(mode & kModeBits));
        if (!bits) {
            return -1;
        }
        if (!call(fchmod, descriptor, bits.get())) {
            return rewrite_instead();
        }
    }
    // Compared once the mode is set: on Linux it changes the ACL's mask.
    Ref given = attributes(os, descriptor);
    if (!given) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyObject_RichCompareBool(given.get(), kept, Py_EQ);
}

// "<path>.<twelve random hexadecimal digits>.tmp"
Ref new_file_name(PyObject* os, PyObject* path) {
    Ref count = Ref::steal(PyLong_FromLong(kRandomBytes));
    Ref random = count ? os_call(os, texts().urandom, count.get()) : Ref();
    if (random && (!PyBytes_Check(random.get()) || PyBytes_GET_SIZE(random.get()) != kRandomBytes)) {
        PyErr_SetString(PyExc_SystemError, "os.urandom gave no bytes");
        return Ref();
    }
    if (!random) {
        return Ref();
    }
    // ".<digits>.tmp", ASCII made into a text and joined: cheaper than a format.
    static const char digits[] = "0123456789abcdef";
    char tail[kRandomDigits + 6] = ".";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(random.get()));
    for (int i = 0; i < kRandomBytes; ++i) {
        tail[1 + 2 * i] = digits[bytes[i] >> 4];
        tail[2 + 2 * i] = digits[bytes[i] & 0xf];
    }
    std::memcpy(tail + 1 + kRandomDigits, ".tmp", 5);
    Ref end = Ref::steal(PyUnicode_FromStringAndSize(tail, kRandomDigits + 5));
    return end ? Ref::steal(PyUnicode_Concat(path, end.get())) : Ref();
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

// Puts the new file `name` in place of `path` in one step. 1 when done, 0
// when refused with the old file still there, -1 with the error set.
int put_in_place(PyObject* os, PyObject* name, PyObject* path) {
#ifndef _WIN32
    return os_call(os, texts().os_replace, name, path) ? 1 : rewrite_instead();
#else
    // ReplaceFileW keeps the old file's security descriptor, attributes and
    // creation time; MoveFileExW where it cannot be used. A file that a
    // scanner, an indexer or an editor holds open is tried again for about a
    // second.
    (void)os;
    using Wide = std::unique_ptr<wchar_t, decltype(&PyMem_Free)>;
    Wide from(PyUnicode_AsWideCharString(name, nullptr), &PyMem_Free);
    Wide to(from ? PyUnicode_AsWideCharString(path, nullptr) : nullptr, &PyMem_Free);
    if (!to) {
        return -1;
    }
    double waited = 0.0;
    for (double pause = kFirstPause;; pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause) {
        DWORD error = 0;
        Py_BEGIN_ALLOW_THREADS
        if (!ReplaceFileW(to.get(), from.get(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) &&
            !MoveFileExW(from.get(), to.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            error = GetLastError();
        }
        Py_END_ALLOW_THREADS
        if (error == 0) {
            return 1;
        }
        const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                          error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
        if (!held || waited >= kReplaceWait) {
            return 0;
        }
        Ref time = Ref::steal(PyImport_ImportModule("time"));
        Ref seconds = time ? Ref::steal(PyFloat_FromDouble(pause)) : Ref();
        if (!seconds || !call_method(time.get(), texts().sleep, seconds.get())) {
            return -1;
        }
        waited += pause;
    }
#endif
}

// Makes the replacement itself durable. By then the new content is complete
// and in place, so a folder that cannot be synced (some file systems refuse)
// does not make the save fail; an interrupt or an exit still goes on.
// Windows has no folder sync.
bool sync_folder(PyObject* os, PyObject* folder) {
#ifndef _WIN32
    const Texts& t = texts();
    static_assert(O_RDONLY == 0, "os.O_RDONLY is 0");
    Ref descriptor = os_call(os, t.os_open, PyUnicode_GET_LENGTH(folder) == 0 ? t.curdir : folder, module_state().zero);
    if (!descriptor) {
        return ignored();
    }
    return close_descriptor(os, descriptor.get(), os_call(os, t.os_fsync, descriptor.get()) || ignored());
#else
    (void)os;
    (void)folder;
    return true;
#endif
}

// The content written to a new file made like the old one (see take_over)
// and put in place of `path` in one step. 1 when done, 0 when the file is to
// be rewritten in place instead (nothing changed, no error), -1 with the
// error set and the old file as it was.
int replace(PyObject* os, PyObject* path, PyObject* folder, PyObject* status, PyObject* kept, PyObject* parser) {
    const Texts& t = texts();
    Ref name = new_file_name(os, path);
    Ref flags = name ? Ref::steal(PyLong_FromLong(O_WRONLY | O_CREAT | O_EXCL | kNoFollow | kBinary)) : Ref();
    Ref private_mode = flags ? Ref::steal(PyLong_FromLong(0600)) : Ref();
    if (!private_mode) {
        return -1;
    }
    Ref descriptor = os_call(os, t.os_open, name.get(), flags.get(), private_mode.get());
    if (!descriptor) {
        return rewrite_instead();
    }
    const int like = take_over(os, descriptor.get(), status, kept);
    Ref file = like > 0 ? call(module_state().open, descriptor.get(), t.write_mode) : Ref();
    if (!file) {
        const bool closed = close_descriptor(os, descriptor.get(), true);
        return finally_call(os, t.remove, name.get()) && closed && like == 0 ? 0 : -1;
    }
    int placed = 0;
    const bool written = with_block(file.get(), [&](PyObject* f) {
        if (!write_and_sync(parser, f, descriptor.get())) {
            return false;
        }
#ifndef _WIN32
        // While the lock is held, so that no clean-up takes it for a leftover.
        placed = put_in_place(os, name.get(), path);
#endif
        return placed >= 0;
    });
#ifdef _WIN32
    placed = written ? put_in_place(os, name.get(), path) : -1;
#endif
    if (!written || placed <= 0) {
        // The unfinished new file removed.
        return finally_call(os, t.remove, name.get()) && written ? placed : -1;
    }
    return sync_folder(os, folder) ? 1 : -1;
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
    Ref path = os ? text_path(os.get(), path_object) : Ref();
    if (!path || compat::unicode_ready(path.get()) < 0) {
        return false;
    }
    const Py_ssize_t end = folder_end(path.get());
    Ref folder = end >= 0 ? Ref::steal(PyUnicode_Substring(path.get(), 0, end)) : Ref();
    Ref base = folder ? Ref::steal(PyUnicode_Substring(path.get(), end, PyUnicode_GET_LENGTH(path.get()))) : Ref();
    if (!base || !remove_leftovers(os.get(), folder.get(), base.get())) {
        return false;
    }
    Ref status, kept;
    const int replacing = replaceable(os.get(), path.get(), status, kept);
    if (replacing < 0) {
        return false;
    }
    if (replacing > 0) {
        const int replaced = replace(os.get(), path.get(), folder.get(), status.get(), kept.get(), parser);
        if (replaced != 0) {
            return replaced > 0;
        }
    }
    return rewrite_in_place(path.get(), parser);
}

}  // namespace tessavor::station
