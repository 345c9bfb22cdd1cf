#include "settings_file.hpp"

#include "../capi/context.hpp"
#include "../module/state.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// How many names a new file may try before giving up.
constexpr int kTemporaryNameAttempts = 100;

// The permission bits of the existing file, or None when there is none.
// The file is opened for writing without being created or changed, so that
// one that may not be written is refused here, as opening it to rewrite it
// would be refused.
Ref existing_permissions(PyObject* os, PyObject* path) {
    const Texts& t = texts();
    static PyObject* flags = nullptr;
    if (flags == nullptr) {
        Ref write_only = attr(os, t.O_WRONLY);
        Ref append = write_only ? attr(os, t.O_APPEND) : Ref();
        flags = append ? PyNumber_Or(write_only.get(), append.get()) : nullptr;
        if (flags == nullptr) {
            return Ref();
        }
    }
    Ref probe = call_method(os, t.os_open, path, flags);
    if (!probe) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            return Ref();
        }
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    if (!call_method(os, t.os_close, probe.get())) {
        return Ref();
    }
    Ref status = call_method(os, t.stat, path);
    if (!status) {
        return status;
    }
    Ref mode = attr(status.get(), t.st_mode);
    if (!mode) {
        return mode;
    }
    static PyObject* bits = nullptr;
    if (bits == nullptr && (bits = PyLong_FromLong(07777)) == nullptr) {
        return Ref();
    }
    return Ref::steal(PyNumber_And(mode.get(), bits));
}

// open("<path>.<pid>.<n>.tmp", "x") for the first n whose name is free.
Ref create_temporary(PyObject* os, PyObject* text_path, Ref& name) {
    const Texts& t = texts();
    Ref pid = call_method(os, t.getpid);
    if (!pid) {
        return pid;
    }
    // The id is written as the host's number gives it: no C type is assumed to hold it.
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        name = Ref::steal(PyUnicode_FromFormat("%U.%S.%d.tmp", text_path, pid.get(), attempt));
        if (!name) {
            return Ref();
        }
        Ref file = call(module_state().open, name.get(), t.exclusive_mode);
        if (file || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            return file;
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_FileExistsError, "no free name for a new file beside %R", text_path);
    return Ref();
}

// parser.write(f); f.flush(); _fsync(f.fileno())
bool write_and_sync(PyObject* parser, PyObject* f) {
    const Texts& t = texts();
    if (!call_method(parser, t.write, f) || !call_method(f, t.flush)) {
        return false;
    }
    Ref descriptor = call_method(f, t.fileno);
    if (!descriptor) {
        return false;
    }
    Ref fsync = global(module_names().fsync);
    return fsync && call(fsync.get(), descriptor.get());
}

// Removes the unfinished new file; the error that stopped the save stays
// the one reported.
void discard(PyObject* os, PyObject* name) {
    ExceptScope pending;
    if (!call_method(os, texts().remove, name)) {
        PyErr_Clear();
    }
    pending.reraise();
}

// Makes the replacement itself durable. By then the new content is complete
// and in place, so a folder that cannot be synced (some file systems refuse)
// does not make the save fail. Windows has no folder sync.
void sync_folder(PyObject* os, PyObject* text_path) {
#ifndef _WIN32
    const Texts& t = texts();
    // A name without a slash is in the current folder: no call for that.
    const Py_ssize_t slash = PyUnicode_FindChar(text_path, '/', 0, PyUnicode_GET_LENGTH(text_path), 1);
    if (slash == -2) {
        PyErr_Clear();
        return;
    }
    Ref folder;
    if (slash == -1) {
        folder = Ref::borrow(t.curdir);
    } else {
        Ref os_path = attr(os, t.path);
        folder = os_path ? call_method(os_path.get(), t.dirname, text_path) : Ref();
    }
    if (folder && PyUnicode_GetLength(folder.get()) == 0) {
        folder = Ref::borrow(t.curdir);
    }
    static PyObject* read_only_flag = nullptr;
    if (read_only_flag == nullptr && folder) {
        read_only_flag = attr(os, t.O_RDONLY).release();
    }
    Ref read_only = folder && read_only_flag ? Ref::borrow(read_only_flag) : Ref();
    Ref descriptor = read_only ? call_method(os, t.os_open, folder.get(), read_only.get()) : Ref();
    if (descriptor) {
        if (!call_method(os, t.os_fsync, descriptor.get())) {
            PyErr_Clear();
        }
        if (!call_method(os, t.os_close, descriptor.get())) {
            PyErr_Clear();
        }
    }
    PyErr_Clear();
#else
    (void)os;
    (void)text_path;
#endif
}

}  // namespace

bool write_settings_file(PyObject* path, PyObject* parser) noexcept {
    const Texts& t = texts();
    Ref os = Ref::steal(compat::imported_module(t.os));
    if (!os) {
        return false;
    }
    Ref text_path = PyUnicode_CheckExact(path) ? Ref::borrow(path)
                                                : Ref::steal(PyObject_CallMethod(os.get(), "fsdecode", "O", path));
    if (!text_path) {
        return false;
    }
    Ref permissions = existing_permissions(os.get(), path);
    if (!permissions) {
        return false;
    }
    Ref name;
    Ref file = create_temporary(os.get(), text_path.get(), name);
    if (!file) {
        return false;
    }
    const bool replaced =
        with_block(file.get(), [&](PyObject* f) { return write_and_sync(parser, f); }) &&
        (permissions.get() == Py_None || call_method(os.get(), t.chmod, name.get(), permissions.get())) &&
        call_method(os.get(), t.os_replace, name.get(), path);
    if (!replaced) {
        discard(os.get(), name.get());
        return false;
    }
    sync_folder(os.get(), text_path.get());
    return true;
}

}  // namespace tessavor::station
