// Writing info.cfg so that a save cut short leaves the old or the new file
// where that loses nothing of the old one, and as a plain program would
// everywhere else.
#pragma once

#include "../capi/ref.hpp"

namespace tessavor::station {

// Writes the parser's whole content to the file `path` (a path as the host
// gives it, which must decode to a text): to a new file put in place of the
// old one in one step where the checklist of can_replace (settings_file.cpp)
// holds, else rewritten in place through `path` as open(path, "w") does.
// False with the error set; the old file is then as it was, except where a
// plain rewrite failed while writing.
[[nodiscard]] bool write_settings_file(PyObject* path, PyObject* parser) noexcept;

}  // namespace tessavor::station
