// The system calls of a save that replaces info.cfg by a new file beside it,
// "<name>.<twelve hexadecimal digits>.tmp": replace_posix.cpp and
// replace_windows.cpp. settings_file.cpp decides which way a save goes.
#pragma once

#include "../capi/ref.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tessavor::station {

// 0 when a step was done, else the system's error number (errno,
// GetLastError()), or kRaised with an exception of the host set.
using SystemError = unsigned long;
inline constexpr SystemError kRaised = ~0ul;

// One replacement of the file `path` in `folder` under the name `base`
// (borrowed texts). At the end whatever is open is closed and a new file not
// put in place is removed, an exception already raised kept.
class Replacement {
public:
    Replacement(PyObject* path, PyObject* folder, PyObject* base) noexcept : path_(path), folder_(folder), base_(base) {}
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Removes the new files of saves of this base name whose writer is gone;
    // nothing for an empty base name.
    void remove_leftovers() noexcept;
    // Opens the existing file for writing as the rewrite in place would
    // (created when missing), neither emptied nor followed when a link;
    // `plain`: a regular file with no second name.
    SystemError open_existing(bool& plain) noexcept;
    // Creates the new file, private, held live against other saves'
    // clean-up, with the existing one's owner, group and mode (on Windows
    // its security descriptor).
    SystemError create_new() noexcept;
    // Whether the new file has the existing one's extended attributes.
    SystemError same_attributes(bool& same) noexcept;
    // A descriptor of the new file for a file object to own and close; the
    // file stays held. Null with the error set.
    Ref new_descriptor() noexcept;
    // Puts the new file in place in one step; refused, the old file keeps
    // its name.
    SystemError put_in_place() noexcept;
    // Syncs the folder where the system can; false only with an interrupt
    // or exit raised.
    [[nodiscard]] bool sync_folder() noexcept;
    // Raises the OSError of `error` if it says the place is full.
    bool raise_if_full(SystemError error) const noexcept;

private:
    PyObject* path_;
    PyObject* folder_;
    PyObject* base_;
    Ref new_name_;                 // text
    Ref new_native_;               // POSIX: as bytes
    std::intptr_t existing_ = -1;  // descriptors or handles
    std::intptr_t new_file_ = -1;
    bool placed_ = false;
    void* security_ = nullptr;     // Windows: the existing file's
};

// The index just past the last folder separator of `path`, 0 when none.
Py_ssize_t folder_end(PyObject* path) noexcept;
// False with the error set.
[[nodiscard]] bool random_bytes(unsigned char* bytes, std::size_t count) noexcept;
// "<path>.<twelve random hexadecimal digits>.tmp"; null with the error set.
Ref new_file_name(PyObject* path) noexcept;

// Whether a folder entry is named like a new file of a save of `base`.
template <class Char>
bool named_like_new_file(const Char* entry, std::size_t length, const Char* base, std::size_t base_length) {
    const std::size_t tail = base_length + 13;  // where ".tmp" begins
    if (base_length == 0 || length != tail + 4 || !std::equal(base, base + base_length, entry) ||
        entry[base_length] != '.') {
        return false;
    }
    for (std::size_t i = base_length + 1; i < tail; ++i) {
        if ((entry[i] < '0' || entry[i] > '9') && (entry[i] < 'a' || entry[i] > 'f')) {
            return false;
        }
    }
    return entry[tail] == '.' && entry[tail + 1] == 't' && entry[tail + 2] == 'm' && entry[tail + 3] == 'p';
}

}  // namespace tessavor::station
