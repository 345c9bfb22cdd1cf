// Writing info.cfg so that a save cut short leaves the old or the new file
// where that loses nothing of the old one, and as a plain program would
// everywhere else.
#pragma once

#include "../capi/ref.hpp"

namespace tessavor::station {

// Writes the parser's whole content to the file `path` (a path as the host
// gives it, which must decode to a text).
//
// The file is replaced in one step only when the new file can be made just
// like it: the name as given (a link is never followed here) is a regular
// file with one name that this process may write, whose owner and group the
// new file can be given and whose extended attributes (ACLs among them) the
// new file has too, in a folder that takes a new file on the same file
// system. The new file "<path>.<twelve random hexadecimal digits>.tmp" is
// made private (0600), locked, given the old owner, group and mode, written,
// flushed, synced and put in place while locked; the folder is synced after
// it (on Windows with ReplaceFileW, MoveFileExW where that cannot be used,
// tried again for about a second while the file is held open elsewhere).
// In every other case, and when the replacement is refused with the old file
// still there, the new file is removed and the file rewritten in place
// through `path`: opened with "w", written, flushed and synced. A missing
// file is created that way. A full place raises and leaves the old file.
// Before all that, new files of saves beside it that nobody holds locked
// (on Windows: open) are removed.
[[nodiscard]] bool write_settings_file(PyObject* path, PyObject* parser) noexcept;

}  // namespace tessavor::station
