// Writing info.cfg so that a failure never destroys it, and so that it keeps
// what it had: its links, owner, group and mode.
#pragma once

#include "../capi/ref.hpp"

namespace tessavor::station {

// Writes the parser's whole content to the file `path` (a path as the host
// gives it, which must decode to a text).
//
// Where the replacement keeps everything the old file had, the content goes
// to a new file beside it ("<path>.<pid>.<n>.tmp") that gets the old file's
// owner, group and permission bits, is flushed and synced to the storage
// device and is then put in place of `path` in one step (tried again for
// about a second while that is refused with PermissionError, as on Windows
// for a file held open elsewhere); the folder is synced after it, an
// interrupt or an exit there still raised. A symbolic link is followed and
// the file it names replaced. Where the replacement could not keep what the
// file had (other hard links, an owner or group the process may not give,
// a folder that takes no new file) the file is rewritten in place, flushed
// and synced. Before that, new files of saves beside it whose writer is gone
// are removed.
//
// An existing file that could not be opened for writing is refused the same
// way rewriting it in place would be. On a failure of the replacement `path`
// is as it was, the new file is removed and the error is set.
[[nodiscard]] bool write_settings_file(PyObject* path, PyObject* parser) noexcept;

}  // namespace tessavor::station
