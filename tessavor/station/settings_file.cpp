#include "settings_file.hpp"

#include <cstdio>

#include "../capi/context.hpp"
#include "../state/module_state.hpp"
#include "replace.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

enum class Outcome { Replaceable, Replaced, RewriteInPlace, Failed };

// os.fsdecode(path), which must be a text.
Ref text_path(PyObject* path) {
    if (PyUnicode_CheckExact(path)) {
        return Ref::borrow(path);
    }
    Ref os = Ref::steal(compat::imported_module(texts().os));
    Ref text = os ? call_method(os.get(), texts().fsdecode, path) : Ref();
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text;
}

// A refused step: a raised error or a full place fails the save (rewriting
// there would empty the old file and fail too); any other refusal leaves
// the old file as it was, to be rewritten in place.
Outcome refused(const Replacement& replacement, SystemError error) {
    return error == kRaised || replacement.raise_if_full(error) ? Outcome::Failed : Outcome::RewriteInPlace;
}

// Whether the file may be replaced by a new one without losing anything of
// it; the checks are made on the file opened, so what was checked is what
// is replaced. It may when
//   - the kernel lets this process open it for writing as the in-place
//     rewrite would (its refusals stay the save's: the rewrite then meets
//     them and raises what a plain program gets, having written nothing);
//   - it is a plain file, not a folder, device, pipe or symbolic link (the
//     rewrite writes through a link, so the link stays one);
//   - it has no second name that would keep the old content;
//   - a new file can be made beside it and given its owner, group and
//     permission bits (on Windows its security descriptor);
//   - the new file then has its extended attributes (ACLs among them).
Outcome can_replace(Replacement& replacement) {
    bool plain = false, same = false;
    SystemError error = 0;
    const bool replaceable = (error = replacement.open_existing(plain)) == 0 && plain &&
                             (error = replacement.create_new()) == 0 &&
                             (error = replacement.same_attributes(same)) == 0 && same;
    return replaceable ? Outcome::Replaceable : refused(replacement, error);
}

// with file as f: parser.write(f); f.flush(); _fsync(f.fileno())
bool write_and_sync(Ref file, PyObject* parser) {
    const Texts& t = texts();
    return file && with_block(file.get(), [&](PyObject* f) {
        if (!call_method(parser, t.write, f) || !call_method(f, t.flush)) {
            return false;
        }
        Ref fsync = global(t._fsync);
        Ref descriptor = fsync ? call_method(f, t.fileno) : Ref();
        return descriptor && call(fsync.get(), descriptor.get());
    });
}

Outcome replace(Replacement& replacement, PyObject* parser) {
    Ref descriptor = replacement.new_descriptor();
    if (!descriptor || !write_and_sync(call(module_state().open, descriptor.get(), texts().write_mode), parser)) {
        return Outcome::Failed;
    }
    const SystemError error = replacement.put_in_place();
    return error == 0 ? Outcome::Replaced : refused(replacement, error);
}

}  // namespace

Ref new_file_name(PyObject* path) noexcept {
    unsigned char b[6];
    if (!random_bytes(b, sizeof b)) {
        return Ref();
    }
    char tail[18];
    std::snprintf(tail, sizeof tail, ".%02x%02x%02x%02x%02x%02x.tmp", b[0], b[1], b[2], b[3], b[4], b[5]);
    return Ref::steal(PyUnicode_FromFormat("%U%s", path, tail));
}

bool write_settings_file(PyObject* path_object, PyObject* parser) noexcept {
    Ref path = text_path(path_object);
    if (!path || compat::unicode_ready(path.get()) < 0) {
        return false;
    }
    const Py_ssize_t end = folder_end(path.get());
    Ref folder = Ref::steal(PyUnicode_Substring(path.get(), 0, end));
    Ref base = folder ? Ref::steal(PyUnicode_Substring(path.get(), end, PyUnicode_GET_LENGTH(path.get()))) : Ref();
    if (!base) {
        return false;
    }
    Outcome outcome;
    {
        Replacement replacement(path.get(), folder.get(), base.get());
        replacement.remove_leftovers();
        outcome = can_replace(replacement);
        if (outcome == Outcome::Replaceable) {
            outcome = replace(replacement, parser);
        }
        if (outcome == Outcome::Replaced) {
            return replacement.sync_folder();
        }
    }
    // The one place where a save that could not replace rewrites in place,
    // the new file gone and the old one closed by now.
    return outcome == Outcome::RewriteInPlace &&
           write_and_sync(call(module_state().open, path.get(), texts().write_mode), parser);
}

}  // namespace tessavor::station
