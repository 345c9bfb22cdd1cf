// Writing info.cfg so that a failure never destroys it.
#pragma once

#include "../capi/ref.hpp"

namespace tessavor::station {

// Writes the parser's whole content to the file `path` (a path as the host
// gives it) without ever leaving it empty or cut short: the content goes to
// a new file in the same folder, which is flushed and synced to the storage
// device and then put in place of `path` in one step; the folder is synced
// after it. The new file keeps the old one's permission bits. An existing
// file that could not be opened for writing is refused the same way
// rewriting it in place would be. On any failure `path` is as it was, the
// new file is removed and the error is set.
[[nodiscard]] bool write_settings_file(PyObject* path, PyObject* parser) noexcept;

}  // namespace tessavor::station
