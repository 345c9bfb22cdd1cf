// The system calls of a replacing save on Windows (see replace.hpp).
#ifdef _WIN32
#include "replace.hpp"

#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <cwchar>
#include <memory>

#include "../capi/call.hpp"
#include "texts.hpp"

// Older MinGW-w64 headers lack it (Windows 8's "storage quota exceeded").
#ifndef ERROR_DISK_QUOTA_EXCEEDED
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#endif

namespace tessavor::station {
namespace {

// How long (seconds) a replacement refused because the file is held open
// elsewhere is tried again; the first and the longest pause between tries.
constexpr double kReplaceWait = 1.0, kFirstPause = 0.01, kLongestPause = 0.2;

// A text path as the system takes it; null with the error set.
using Wide = std::unique_ptr<wchar_t, decltype(&PyMem_Free)>;
Wide wide(PyObject* text) { return Wide(PyUnicode_AsWideCharString(text, nullptr), &PyMem_Free); }

HANDLE handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
constexpr std::intptr_t kNone = -1;  // INVALID_HANDLE_VALUE

void close(std::intptr_t& held) {
    if (held != kNone) {
        CloseHandle(handle(held));
        held = kNone;
    }
}

// A save's new file is marked live by an exclusive lock on one byte far past
// its end, which nobody reads or writes; the lock goes with the last handle.
// The file itself is shared for reading, writing and deleting, so that
// ReplaceFileW can open it while this save still holds it.
bool lock_marker(HANDLE file) {
    OVERLAPPED where = {};
    where.OffsetHigh = 0x7fffffff;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) != 0;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A failure of ReplaceFileW that a scanner, an indexer or an editor holding
// one of the files open makes, and that goes once they close it.
bool held_elsewhere(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

}  // namespace

Replacement::~Replacement() {
    close(new_file_);
    close(existing_);
    if (security_ != nullptr) {
        LocalFree(security_);
    }
    if (new_name_ && !placed_) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Wide name = wide(new_name_.get());
        if (name) {
            DeleteFileW(name.get());
        }
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
}

void Replacement::remove_leftovers() noexcept {
    // A new file whose marker can be locked has no living writer: it is
    // deleted through the handle that checked it, so nothing else is.
    Ref pattern = PyUnicode_GET_LENGTH(base_) > 0 ? Ref::steal(PyUnicode_FromFormat("%U%U.*.tmp", folder_, base_)) : Ref();
    Wide found = pattern ? wide(pattern.get()) : Wide(nullptr, &PyMem_Free);
    Wide base = found ? wide(base_) : Wide(nullptr, &PyMem_Free);
    WIN32_FIND_DATAW entry;
    HANDLE listing = base ? FindFirstFileW(found.get(), &entry) : INVALID_HANDLE_VALUE;
    for (BOOL more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &entry)) {
        if (!named_like_new_file(entry.cFileName, std::wcslen(entry.cFileName), base.get(), std::wcslen(base.get()))) {
            continue;
        }
        Ref tail = Ref::steal(PyUnicode_FromWideChar(entry.cFileName, -1));
        Ref name = tail ? Ref::steal(PyUnicode_Concat(folder_, tail.get())) : Ref();
        Wide full = name ? wide(name.get()) : Wide(nullptr, &PyMem_Free);
        HANDLE file = full ? CreateFileW(full.get(), GENERIC_READ | DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                           : INVALID_HANDLE_VALUE;
        if (file != INVALID_HANDLE_VALUE) {
            FILE_DISPOSITION_INFO gone = {TRUE};
            if (lock_marker(file)) {
                SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
            }
            CloseHandle(file);
        }
    }
    if (listing != INVALID_HANDLE_VALUE) {
        FindClose(listing);
    }
    PyErr_Clear();  // a name that cannot be made: nothing to clean up
}

SystemError Replacement::open_existing(bool& plain) noexcept {
    Wide path = wide(path_);
    if (!path) {
        return kRaised;
    }
    // Opened for writing as the rewrite opens it (created when missing) but
    // not emptied, and a link as itself; shared, so that it stays usable.
    HANDLE file = CreateFileW(path.get(), GENERIC_WRITE | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    existing_ = value(file);
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        return GetLastError();
    }
    const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    plain = (information.dwFileAttributes & not_plain) == 0 && GetFileType(file) == FILE_TYPE_DISK &&
            information.nNumberOfLinks == 1;
    return 0;
}

SystemError Replacement::create_new() noexcept {
    // Created with the existing file's access list: a new file would have
    // the folder's inherited one until it replaces the old.
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle(existing_), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, &access, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    security_ = descriptor;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    for (int attempt = 0; attempt < 3; ++attempt) {
        new_name_ = new_file_name(path_);
        Wide name = new_name_ ? wide(new_name_.get()) : Wide(nullptr, &PyMem_Free);
        if (!name) {
            return kRaised;
        }
        HANDLE file = CreateFileW(name.get(), GENERIC_WRITE | GENERIC_READ, kShareAll, &security, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD refused = GetLastError();
            new_name_ = Ref();
            if (refused != ERROR_FILE_EXISTS) {
                return refused;
            }
            continue;
        }
        // A clean-up that opened the file before the marker was locked has
        // deleted it: another name then.
        FILE_STANDARD_INFO standing;
        if (lock_marker(file) && GetFileInformationByHandleEx(file, FileStandardInfo, &standing, sizeof standing) &&
            !standing.DeletePending && standing.NumberOfLinks == 1) {
            new_file_ = value(file);
            return 0;
        }
        CloseHandle(file);
        DeleteFileW(name.get());
        new_name_ = Ref();
    }
    return ERROR_FILE_EXISTS;
}

SystemError Replacement::same_attributes(bool& same) noexcept {
    // ReplaceFileW gives the new file the old one's attributes and streams.
    same = true;
    return 0;
}

Ref Replacement::new_descriptor() noexcept {
    // A second handle of the file for the file object; the first one keeps
    // it held.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle(new_file_), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return Ref::steal(PyErr_SetFromWindowsErr(0));
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(copy), 0);
    if (descriptor < 0) {
        CloseHandle(copy);
        return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    }
    Ref number = Ref::steal(PyLong_FromLong(descriptor));
    if (!number) {
        _close(descriptor);
    }
    return number;
}

SystemError Replacement::put_in_place() noexcept {
    // ReplaceFileW keeps the old file's security descriptor, attributes and
    // creation time. With a backup name given, each failure it documents
    // leaves the old file under its own name, except 1177 (the old file is
    // under the backup name, moved back here). The new file stays held
    // throughout. A file held open elsewhere is tried again for about a
    // second; should the system refuse to share the new file with this
    // save's own handle, the retries go without it.
    Ref backup_name = new_file_name(path_);
    Wide to = backup_name ? wide(path_) : Wide(nullptr, &PyMem_Free);
    Wide from = to ? wide(new_name_.get()) : Wide(nullptr, &PyMem_Free);
    Wide backup = from ? wide(backup_name.get()) : Wide(nullptr, &PyMem_Free);
    if (!backup) {
        return kRaised;
    }
    close(existing_);
    double waited = 0.0;
    for (double pause = kFirstPause;; pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause) {
        if (ReplaceFileW(to.get(), from.get(), backup.get(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            placed_ = true;
            DeleteFileW(backup.get());
            return 0;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            if (!MoveFileExW(backup.get(), to.get(), MOVEFILE_WRITE_THROUGH)) {
                PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, GetLastError(), backup_name.get());
                return kRaised;
            }
            return error;
        }
        // ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176) and the rest: both files
        // under their own names, the old one to be rewritten in place.
        if (!held_elsewhere(error) || waited >= kReplaceWait) {
            return error;
        }
        if (error == ERROR_SHARING_VIOLATION) {
            close(new_file_);
        }
        Ref time = Ref::steal(PyImport_ImportModule("time"));
        Ref seconds = time ? Ref::steal(PyFloat_FromDouble(pause)) : Ref();
        if (!seconds || !call_method(time.get(), texts().sleep, seconds.get())) {
            return kRaised;
        }
        waited += pause;
    }
}

bool Replacement::sync_folder() noexcept {
    return true;  // Windows has no folder sync; ReplaceFileW's metadata is journaled by NTFS
}

bool Replacement::raise_if_full(SystemError error) const noexcept {
    if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL && error != ERROR_DISK_QUOTA_EXCEEDED) {
        return false;
    }
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error),
                                                 new_name_ ? new_name_.get() : path_);
    return true;
}

Py_ssize_t folder_end(PyObject* path) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    const Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
    const Py_ssize_t backslash = PyUnicode_FindChar(path, '\\', 0, length, -1);
    return (backslash > slash ? backslash : slash) + 1;
}

bool random_bytes(unsigned char* bytes, std::size_t count) noexcept {
    const NTSTATUS status =
        BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        PyErr_SetString(PyExc_OSError, "BCryptGenRandom gave no random bytes");
        return false;
    }
    return true;
}

}  // namespace tessavor::station
#endif
