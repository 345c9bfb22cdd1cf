// The system calls of a save that replaces info.cfg by a new file: one
// implementation for POSIX systems (replace_posix.cpp), one for Windows
// (replace_windows.cpp). The decision which way a save goes is taken in
// settings_file.cpp; nothing here decides.
#pragma once

#include "../capi/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace tessavor::station {

// How the system answered a step: 0 when it was done, else its own error
// number (errno; GetLastError() on Windows), or kRaised.
using SystemError = unsigned long;
// The step failed with an exception of the host raised.
inline constexpr SystemError kRaised = ~0ul;

// What the existing file is, read from the file opened (not its name).
struct FileFacts {
    bool regular = false;   // a plain file: no folder, device, pipe or link
    bool one_name = false;  // no other name (hard link) shares its content
};

// One replacement of the file `path` (a text): the existing file and the new
// file "<path>.<twelve hexadecimal digits>.tmp" beside it. Whatever is still
// open at the end is closed, and a new file not put in place is removed,
// without touching an exception already raised.
class Replacement {
public:
    Replacement(PyObject* path, PyObject* folder, PyObject* base) noexcept;
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Removes the new files of other saves of this base name in this folder
    // that no living save holds (their writer died). Nothing for an empty
    // base name. Files that cannot be told, opened or removed are left.
    void remove_leftovers() noexcept;
    // Opens the existing file for writing the way an in-place rewrite opens
    // it (created when missing) but neither emptied nor followed when it is
    // a link, and reads its facts from the open file.
    SystemError open_existing(FileFacts& facts) noexcept;
    // Creates the new file, private from its first moment, held so that no
    // clean-up of another save takes it for a leftover, and given what the
    // existing one has: owner, group and permission bits (on Windows its
    // security descriptor).
    SystemError create_new() noexcept;
    // Whether the new file has the existing one's extended attributes (ACLs
    // among them).
    SystemError same_attributes(bool& same) noexcept;
    // A descriptor of the new file for a file object to own and close; the
    // new file stays held. Null with the error set.
    Ref new_descriptor() noexcept;
    // Puts the new file in place of the existing one in one step. Refused,
    // the existing file is under its own name still.
    SystemError put_in_place() noexcept;
    // Makes the replacement durable: the folder synced where the system has
    // that. Its errors are ignored; false only with an interrupt raised.
    [[nodiscard]] bool sync_folder() noexcept;
    // Raises the OSError of `error` for the new file.
    void raise(SystemError error) const noexcept;
    // Whether `error` says the place is full: rewriting in place there
    // would lose the old content.
    static bool means_full(SystemError error) noexcept;

private:
    PyObject* path_;         // borrowed texts
    PyObject* folder_;
    PyObject* base_;
    Ref new_name_;           // text, once made
    Ref new_native_;         // POSIX: its bytes, as the system takes it
    std::size_t live_from_ = 0;    // where its folder entry begins in them
    std::intptr_t existing_ = -1;  // descriptor or handle
    std::intptr_t new_file_ = -1;
    bool placed_ = false;
    void* security_ = nullptr;     // Windows: the existing file's security descriptor
};

// The index just past the last folder separator of the text `path`, 0 when
// it has none.
Py_ssize_t folder_end(PyObject* path) noexcept;

// Random bytes for a new file's name; false with the error set.
[[nodiscard]] bool random_bytes(unsigned char* bytes, std::size_t count) noexcept;

// "<path>.<twelve random hexadecimal digits>.tmp", null with the error set.
Ref new_file_name(PyObject* path) noexcept;

// Random bytes in a new file's name, as twelve hexadecimal digits.
inline constexpr int kRandomBytes = 6;

// Whether the folder entry `entry` (`length` characters) is named like a new
// file of a save of `base`: "<base>.<twelve hexadecimal digits>.tmp".
template <class Char>
bool named_like_new_file(const Char* entry, std::size_t length, const Char* base, std::size_t base_length) {
    constexpr std::size_t digits = 2 * kRandomBytes;
    if (base_length == 0 || length != base_length + 1 + digits + 4 || entry[base_length] != '.') {
        return false;
    }
    for (std::size_t i = 0; i < base_length; ++i) {
        if (entry[i] != base[i]) {
            return false;
        }
    }
    for (std::size_t i = base_length + 1; i < base_length + 1 + digits; ++i) {
        const Char c = entry[i];
        if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
            return false;
        }
    }
    const Char* tail = entry + base_length + 1 + digits;
    return tail[0] == '.' && tail[1] == 't' && tail[2] == 'm' && tail[3] == 'p';
}

}  // namespace tessavor::station
