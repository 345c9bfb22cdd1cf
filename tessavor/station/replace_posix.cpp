// The system calls of a replacing save on POSIX systems (see replace.hpp).
#ifndef _WIN32
#include "replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "../capi/errors.hpp"
#include "../capi/call.hpp"
#include "../capi/kept.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// The bytes of a text path, as the system takes it (os.fsencode).
struct Native {
    explicit Native(PyObject* text) : bytes(Ref::steal(PyUnicode_EncodeFSDefault(text))) {}
    const char* get() const { return PyBytes_AS_STRING(bytes.get()); }
    std::size_t size() const { return static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())); }
    Ref bytes;
};

SystemError last_error() { return static_cast<SystemError>(errno); }

// Takes the lock that marks a new file as being written; a second try fails
// while the first holder has the file open. Open-file-description locks
// (Linux) belong to the open file, so they tell two threads apart too;
// elsewhere the lock of the process is all there is, and the new files of
// this process's saves are never removed as leftovers.
bool lock(int descriptor) {
#ifdef F_OFD_SETLK
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(descriptor, F_OFD_SETLK, &whole) == 0;
#else
    return lockf(descriptor, F_TLOCK, 0) == 0;
#endif
}

#ifndef F_OFD_SETLK
// The folder entries (bytes) of this process's live new files: with the
// lock of the process alone, they could not be told from leftovers.
struct LiveNames {
    PyObject* set;
};
Kept<LiveNames> live_names;

// Adds (or with `add` false removes) the folder entry `entry`; -1 with the
// error set.
int mark_live(const char* entry, bool add) {
    PyObject*& set = live_names.value().set;
    if (set == nullptr && (set = PySet_New(nullptr)) == nullptr) {
        return -1;
    }
    Ref name = Ref::steal(PyBytes_FromString(entry));
    return !name ? -1 : add ? PySet_Add(set, name.get()) : PySet_Discard(set, name.get());
}

bool is_live(const char* entry) {
    PyObject* set = live_names.peek().set;
    Ref name = set != nullptr ? Ref::steal(PyBytes_FromString(entry)) : Ref();
    return name && PySet_Contains(set, name.get()) == 1;
}
#endif

// The extended attributes of an open file: a list of "<name>\0<value>"
// bytes, sorted; empty where the file system has none.
SystemError attributes_of(int descriptor, Ref& found) {
    found = Ref::steal(PyList_New(0));
    if (!found) {
        return kRaised;
    }
#ifdef __linux__
    const ssize_t needed = flistxattr(descriptor, nullptr, 0);
    if (needed <= 0) {
        return needed == 0 || errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : last_error();
    }
    Ref names = Ref::steal(PyBytes_FromStringAndSize(nullptr, needed));
    const ssize_t length = names ? flistxattr(descriptor, PyBytes_AS_STRING(names.get()), needed) : 0;
    if (!names || length < 0) {
        return names ? last_error() : kRaised;  // ERANGE: they changed meanwhile
    }
    const char* end = PyBytes_AS_STRING(names.get()) + length;
    for (const char* name = PyBytes_AS_STRING(names.get()); name < end; name += std::strlen(name) + 1) {
        const std::size_t name_size = std::strlen(name) + 1;
        const ssize_t size = fgetxattr(descriptor, name, nullptr, 0);
        Ref entry = size >= 0 ? Ref::steal(PyBytes_FromStringAndSize(nullptr, name_size + size)) : Ref();
        if (!entry) {
            return size < 0 ? last_error() : kRaised;
        }
        char* value = PyBytes_AS_STRING(entry.get()) + name_size;
        std::memcpy(PyBytes_AS_STRING(entry.get()), name, name_size);
        if (fgetxattr(descriptor, name, value, size) != size) {
            return ERANGE;
        }
        if (PyList_Append(found.get(), entry.get()) < 0) {
            return kRaised;
        }
    }
    if (PyList_Sort(found.get()) < 0) {
        return kRaised;
    }
#else
    (void)descriptor;
#endif
    return 0;
}

}  // namespace

Replacement::Replacement(PyObject* path, PyObject* folder, PyObject* base) noexcept
    : path_(path), folder_(folder), base_(base) {}

Replacement::~Replacement() {
    if (new_file_ >= 0) {
        close(static_cast<int>(new_file_));
    }
    if (existing_ >= 0) {
        close(static_cast<int>(existing_));
    }
    if (new_native_) {
        const char* name = PyBytes_AS_STRING(new_native_.get());
#ifndef F_OFD_SETLK
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (mark_live(name + live_from_, false) < 0) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
#endif
        if (!placed_) {
            unlink(name);
        }
    }
}

void Replacement::remove_leftovers() noexcept {
    Native folder(PyUnicode_GET_LENGTH(folder_) == 0 ? texts().curdir : folder_);
    Native base(base_);
    DIR* listing = folder.bytes && base.bytes && base.size() > 0 ? opendir(folder.get()) : nullptr;
    for (const dirent* entry; listing != nullptr && (entry = readdir(listing)) != nullptr;) {
        if (!named_like_new_file(entry->d_name, std::strlen(entry->d_name), base.get(), base.size())) {
            continue;
        }
#ifndef F_OFD_SETLK
        if (is_live(entry->d_name)) {
            continue;
        }
#endif
        const int descriptor = openat(dirfd(listing), entry->d_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (descriptor >= 0 && lock(descriptor)) {
            unlinkat(dirfd(listing), entry->d_name, 0);
        }
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    PyErr_Clear();  // a name that cannot be encoded: nothing to clean up
}

SystemError Replacement::open_existing(FileFacts& facts) noexcept {
    Native path(path_);
    if (!path.bytes) {
        return kRaised;
    }
    // O_CREAT as the rewrite's open has it, so that the kernel makes the
    // checks it makes for that open (fs.protected_regular among them); no
    // O_TRUNC; O_NONBLOCK: no wait on a pipe.
    struct stat status = {};
    // A file that another save replaced between the open and the fstat has
    // no name any more: the one in its place is opened instead.
    for (int attempt = 0; attempt < 3 && (existing_ < 0 || status.st_nlink == 0); ++attempt) {
        if (existing_ >= 0) {
            close(static_cast<int>(existing_));
        }
        existing_ = open(path.get(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (existing_ < 0 || fstat(static_cast<int>(existing_), &status) != 0) {
            return last_error();
        }
    }
    facts.regular = S_ISREG(status.st_mode);
    facts.one_name = status.st_nlink == 1;
    return 0;
}

SystemError Replacement::create_new() noexcept {
    struct stat status;
    if (fstat(static_cast<int>(existing_), &status) != 0) {
        return last_error();
    }
    Native folder(folder_);
    if (!folder.bytes) {
        return kRaised;
    }
    // A name another save took, or a clean-up took for a leftover before
    // the lock was ours: another name.
    for (int attempt = 0; attempt < 3; ++attempt) {
        new_name_ = new_file_name(path_);
        new_native_ = new_name_ ? Native(new_name_.get()).bytes : Ref();
        if (!new_native_) {
            return kRaised;
        }
        const char* name = PyBytes_AS_STRING(new_native_.get());
        const int descriptor = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor < 0) {
            const SystemError error = last_error();
            new_native_ = Ref();
            if (error == EEXIST) {
                continue;
            }
            return error;
        }
        new_file_ = descriptor;
        struct stat made;
        if (lock(descriptor) && fstat(descriptor, &made) == 0 && made.st_nlink == 1) {
#ifndef F_OFD_SETLK
            live_from_ = folder.size();
            if (mark_live(name + live_from_, true) < 0) {
                return kRaised;
            }
#endif
            return fchown(descriptor, status.st_uid, status.st_gid) == 0 &&
                           fchmod(descriptor, status.st_mode & 07777) == 0
                       ? 0
                       : last_error();
        }
        close(descriptor);
        new_file_ = -1;
        unlink(name);
        new_native_ = Ref();
    }
    return EEXIST;
}

SystemError Replacement::same_attributes(bool& same) noexcept {
    // Compared once the mode is set: on Linux it changes the ACL's mask.
    Ref old_ones, new_ones;
    SystemError error = attributes_of(static_cast<int>(existing_), old_ones);
    if (error == 0) {
        error = attributes_of(static_cast<int>(new_file_), new_ones);
    }
    const int equal = error == 0 ? PyObject_RichCompareBool(old_ones.get(), new_ones.get(), Py_EQ) : 0;
    same = equal > 0;
    return equal < 0 ? kRaised : error;
}

Ref Replacement::new_descriptor() noexcept {
    // A second descriptor of the same open file: the lock stays held when
    // the file object closes its own.
    const int copy = fcntl(static_cast<int>(new_file_), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    }
    Ref number = Ref::steal(PyLong_FromLong(copy));
    if (!number) {
        close(copy);
    }
    return number;
}

SystemError Replacement::put_in_place() noexcept {
    Native to(path_);
    if (!to.bytes) {
        return kRaised;
    }
    if (rename(PyBytes_AS_STRING(new_native_.get()), to.get()) != 0) {
        return last_error();
    }
    placed_ = true;
    return 0;
}

bool Replacement::sync_folder() noexcept {
    // Through the host's os.fsync, which lets other threads run meanwhile.
    Native folder(PyUnicode_GET_LENGTH(folder_) == 0 ? texts().curdir : folder_);
    const int descriptor = folder.bytes ? open(folder.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    bool synced = static_cast<bool>(folder.bytes);
    if (descriptor >= 0) {
        Ref os = Ref::steal(compat::imported_module(texts().os));
        PyObject* fsync = os ? PyDict_GetItemWithError(PyModule_GetDict(os.get()), texts().fsync) : nullptr;
        Ref number = fsync ? Ref::steal(PyLong_FromLong(descriptor)) : Ref();
        synced = number ? static_cast<bool>(call(fsync, number.get())) : !PyErr_Occurred();
        close(descriptor);
    }
    // The new content is complete and in place by now: a folder that cannot
    // be synced (some file systems refuse) does not fail the save, while an
    // interrupt or an exit goes on.
    if (!synced && raised_exception_is_ordinary()) {
        PyErr_Clear();
        synced = true;
    }
    return synced;
}

void Replacement::raise(SystemError error) const noexcept {
    errno = static_cast<int>(error);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, new_name_ ? new_name_.get() : path_);
}

bool Replacement::means_full(SystemError error) noexcept {
#ifdef EDQUOT
    return error == ENOSPC || error == EDQUOT;
#else
    return error == ENOSPC;
#endif
}

Py_ssize_t folder_end(PyObject* path) noexcept {
    return PyUnicode_FindChar(path, '/', 0, PyUnicode_GET_LENGTH(path), -1) + 1;
}

bool random_bytes(unsigned char* bytes, std::size_t count) noexcept {
    if (getentropy(bytes, count) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    return true;
}

}  // namespace tessavor::station
#endif
