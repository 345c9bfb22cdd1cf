// The system calls of a replacing save on POSIX systems (see replace.hpp).
#ifndef _WIN32
#include "replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "../capi/call.hpp"
#include "../capi/errors.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// A text path as the system takes it (os.fsencode); null bytes with the error set.
struct Native {
    explicit Native(PyObject* text) : bytes(Ref::steal(PyUnicode_EncodeFSDefault(text))) {}
    const char* get() const { return PyBytes_AS_STRING(bytes.get()); }
    std::size_t size() const { return static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())); }
    Ref bytes;
};

SystemError last_error() { return static_cast<SystemError>(errno); }
int fd(std::intptr_t held) { return static_cast<int>(held); }
PyObject* folder_or_here(PyObject* folder) { return PyUnicode_GET_LENGTH(folder) == 0 ? texts().curdir : folder; }

// The lock that marks a new file live; a second try fails while the holder
// has the file open. Both kinds belong to the open file, not the process,
// so they tell two threads apart too (flock is emulated per process on NFS,
// where Linux has the open-file-description locks).
bool lock(int descriptor) {
#ifdef F_OFD_SETLK
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    return fcntl(descriptor, F_OFD_SETLK, &whole) == 0;
#else
    return flock(descriptor, LOCK_EX | LOCK_NB) == 0;
#endif
}

// The extended attributes of an open file (ACLs among them), as a sorted
// list of b"<name>\0<value>"; empty where the file system has none.
SystemError attributes_of(int descriptor, Ref& found) {
    found = Ref::steal(PyList_New(0));
    if (!found) {
        return kRaised;
    }
#ifdef __linux__
    const ssize_t needed = flistxattr(descriptor, nullptr, 0);
    if (needed <= 0) {
        return needed == 0 || errno == ENOTSUP ? 0 : last_error();
    }
    Ref names = Ref::steal(PyBytes_FromStringAndSize(nullptr, needed));
    const ssize_t length = names ? flistxattr(descriptor, PyBytes_AS_STRING(names.get()), needed) : 0;
    if (!names || length < 0) {
        return names ? last_error() : kRaised;  // ERANGE: they changed meanwhile
    }
    for (const char* name = PyBytes_AS_STRING(names.get()); name < PyBytes_AS_STRING(names.get()) + length;
         name += std::strlen(name) + 1) {
        const std::size_t name_size = std::strlen(name) + 1;
        const ssize_t size = fgetxattr(descriptor, name, nullptr, 0);
        Ref entry = size >= 0 ? Ref::steal(PyBytes_FromStringAndSize(nullptr, name_size + size)) : Ref();
        if (!entry) {
            return size < 0 ? last_error() : kRaised;
        }
        std::memcpy(PyBytes_AS_STRING(entry.get()), name, name_size);
        if (fgetxattr(descriptor, name, PyBytes_AS_STRING(entry.get()) + name_size, size) != size) {
            return ERANGE;
        }
        if (PyList_Append(found.get(), entry.get()) < 0) {
            return kRaised;
        }
    }
    return PyList_Sort(found.get()) < 0 ? kRaised : 0;
#else
    (void)descriptor;
    return 0;
#endif
}

}  // namespace

Replacement::~Replacement() {
    if (new_file_ >= 0) {
        close(fd(new_file_));
    }
    if (existing_ >= 0) {
        close(fd(existing_));
    }
    if (new_native_ && !placed_) {
        unlink(PyBytes_AS_STRING(new_native_.get()));
    }
}

void Replacement::remove_leftovers() noexcept {
    Native folder(folder_or_here(folder_)), base(base_);
    DIR* listing = folder.bytes && base.bytes && base.size() > 0 ? opendir(folder.get()) : nullptr;
    for (const dirent* entry; listing != nullptr && (entry = readdir(listing)) != nullptr;) {
        // One whose lock can be taken has no living writer.
        if (named_like_new_file(entry->d_name, std::strlen(entry->d_name), base.get(), base.size())) {
            const int descriptor = openat(dirfd(listing), entry->d_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (descriptor >= 0 && lock(descriptor)) {
                unlinkat(dirfd(listing), entry->d_name, 0);
            }
            if (descriptor >= 0) {
                close(descriptor);
            }
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    PyErr_Clear();  // a name that cannot be encoded: nothing to clean up
}

SystemError Replacement::open_existing(bool& plain) noexcept {
    Native path(path_);
    if (!path.bytes) {
        return kRaised;
    }
    // O_CREAT as the rewrite's open has it, so that the kernel makes the
    // checks it makes for that open (fs.protected_regular among them); no
    // O_TRUNC; O_NONBLOCK: no wait on a pipe. A file that another save
    // replaced between the open and the fstat has no name any more: the
    // one in its place is opened instead.
    struct stat status = {};
    for (int attempt = 0; attempt < 3 && (existing_ < 0 || status.st_nlink == 0); ++attempt) {
        if (existing_ >= 0) {
            close(fd(existing_));
        }
        existing_ = open(path.get(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (existing_ < 0 || fstat(fd(existing_), &status) != 0) {
            return last_error();
        }
    }
    plain = S_ISREG(status.st_mode) && status.st_nlink == 1;
    return 0;
}

SystemError Replacement::create_new() noexcept {
    struct stat status, made;
    if (fstat(fd(existing_), &status) != 0) {
        return last_error();
    }
    // A name another save took, or that a clean-up took for a leftover
    // before the lock was ours: another name.
    for (int attempt = 0; attempt < 3; ++attempt) {
        new_name_ = new_file_name(path_);
        new_native_ = new_name_ ? Native(new_name_.get()).bytes : Ref();
        if (!new_native_) {
            return kRaised;
        }
        const char* name = PyBytes_AS_STRING(new_native_.get());
        new_file_ = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (new_file_ >= 0 && lock(fd(new_file_)) && fstat(fd(new_file_), &made) == 0 && made.st_nlink == 1) {
            const bool given = fchown(fd(new_file_), status.st_uid, status.st_gid) == 0 &&
                               fchmod(fd(new_file_), status.st_mode & 07777) == 0;
            return given ? 0 : last_error();
        }
        const SystemError error = new_file_ < 0 ? last_error() : EEXIST;
        if (new_file_ >= 0) {
            close(fd(new_file_));
            unlink(name);
            new_file_ = -1;
        }
        new_native_ = Ref();
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

SystemError Replacement::same_attributes(bool& same) noexcept {
    // Compared once the mode is set: on Linux it changes the ACL's mask.
    Ref old_ones, new_ones;
    SystemError error = attributes_of(fd(existing_), old_ones);
    error = error != 0 ? error : attributes_of(fd(new_file_), new_ones);
    const int equal = error == 0 ? PyObject_RichCompareBool(old_ones.get(), new_ones.get(), Py_EQ) : 0;
    same = equal > 0;
    return equal < 0 ? kRaised : error;
}

Ref Replacement::new_descriptor() noexcept {
    // A second descriptor of the same open file: the lock stays held when
    // the file object closes its own.
    const int copy = fcntl(fd(new_file_), F_DUPFD_CLOEXEC, 0);
    Ref number = copy >= 0 ? Ref::steal(PyLong_FromLong(copy)) : Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    if (!number && copy >= 0) {
        close(copy);
    }
    return number;
}

SystemError Replacement::put_in_place() noexcept {
    Native to(path_);
    if (!to.bytes) {
        return kRaised;
    }
    placed_ = rename(PyBytes_AS_STRING(new_native_.get()), to.get()) == 0;
    return placed_ ? 0 : last_error();
}

bool Replacement::sync_folder() noexcept {
    // Through the host's os.fsync, which lets other threads run meanwhile.
    // The new content is in place by now: a folder that cannot be synced
    // (some file systems refuse) does not fail the save; an interrupt or an
    // exit goes on.
    Native folder(folder_or_here(folder_));
    const int descriptor = folder.bytes ? open(folder.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (descriptor >= 0) {
        Ref os = Ref::steal(compat::imported_module(texts().os));
        Ref number = os ? Ref::steal(PyLong_FromLong(descriptor)) : Ref();
        Ref synced = number ? call_method(os.get(), texts().fsync, number.get()) : Ref();
        close(descriptor);
    }
    if (PyErr_Occurred() && raised_exception_is_ordinary()) {
        PyErr_Clear();
    }
    return !PyErr_Occurred();
}

bool Replacement::raise_if_full(SystemError error) const noexcept {
    if (error != ENOSPC && error != EDQUOT) {
        return false;
    }
    errno = static_cast<int>(error);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, new_name_ ? new_name_.get() : path_);
    return true;
}

Py_ssize_t folder_end(PyObject* path) noexcept {
    return PyUnicode_FindChar(path, '/', 0, PyUnicode_GET_LENGTH(path), -1) + 1;
}

bool random_bytes(unsigned char* bytes, std::size_t count) noexcept {
    return getentropy(bytes, count) == 0 || PyErr_SetFromErrno(PyExc_OSError) != nullptr;
}

}  // namespace tessavor::station
#endif
