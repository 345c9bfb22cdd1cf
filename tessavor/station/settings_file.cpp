#include "settings_file.hpp"

#include "../capi/context.hpp"
#include "../state/module_state.hpp"
#include "replace.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

// Where a save stands.
enum class Outcome {
    Replaceable,     // every check passed: the new file is made like the old one
    Replaced,        // the new file is in place
    RewriteInPlace,  // nothing changed; the file is to be rewritten through its name
    Failed,          // an error is raised and the old file is as it was
};

// path = os.fsdecode(path): a text, or the TypeError that using anything
// else as a path raises.
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

// Where a refused step leaves the save. A full place fails it (rewriting
// there would empty the old file and then fail too), and so does a raised
// error; any other refusal leaves the old file as it was, to be rewritten in
// place.
Outcome refused(const Replacement& replacement, SystemError error) {
    if (error == kRaised) {
        return Outcome::Failed;
    }
    if (Replacement::means_full(error)) {
        replacement.raise(error);
        return Outcome::Failed;
    }
    return Outcome::RewriteInPlace;
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
    FileFacts facts;
    bool same = false;
    SystemError error = 0;
    const bool replaceable = (error = replacement.open_existing(facts)) == 0 && facts.regular && facts.one_name &&
                             (error = replacement.create_new()) == 0 &&
                             (error = replacement.same_attributes(same)) == 0 && same;
    return replaceable ? Outcome::Replaceable : refused(replacement, error);
}

// parser.write(f); f.flush(); _fsync(f.fileno())
bool write_and_sync(PyObject* parser, PyObject* f) {
    const Texts& t = texts();
    if (!call_method(parser, t.write, f) || !call_method(f, t.flush)) {
        return false;
    }
    Ref fsync = global(t._fsync);
    Ref descriptor = fsync ? call_method(f, t.fileno) : Ref();
    return descriptor && call(fsync.get(), descriptor.get());
}

// The content written to the new file, synced and put in place.
Outcome replace(Replacement& replacement, PyObject* parser) {
    Ref descriptor = replacement.new_descriptor();
    Ref file = descriptor ? call(module_state().open, descriptor.get(), texts().write_mode) : Ref();
    if (!file || !with_block(file.get(), [&](PyObject* f) { return write_and_sync(parser, f); })) {
        return Outcome::Failed;
    }
    const SystemError error = replacement.put_in_place();
    return error == 0 ? Outcome::Replaced : refused(replacement, error);
}

// with open(path, "w") as f: parser.write(f); f.flush(); _fsync(f.fileno())
bool rewrite_in_place(PyObject* path, PyObject* parser) {
    Ref file = call(module_state().open, path, texts().write_mode);
    return file && with_block(file.get(), [&](PyObject* f) { return write_and_sync(parser, f); });
}

// The text ".<digits>.tmp" of `count` random bytes, made from ASCII.
Ref random_tail() {
    static const char digits[] = "0123456789abcdef";
    unsigned char bytes[kRandomBytes];
    if (!random_bytes(bytes, kRandomBytes)) {
        return Ref();
    }
    char tail[2 * kRandomBytes + 5] = ".";
    for (int i = 0; i < kRandomBytes; ++i) {
        tail[1 + 2 * i] = digits[bytes[i] >> 4];
        tail[2 + 2 * i] = digits[bytes[i] & 0xf];
    }
    const char suffix[] = ".tmp";
    for (int i = 0; i < 4; ++i) {
        tail[1 + 2 * kRandomBytes + i] = suffix[i];
    }
    return Ref::steal(PyUnicode_FromStringAndSize(tail, sizeof tail));
}

}  // namespace

Ref new_file_name(PyObject* path) noexcept {
    Ref tail = random_tail();
    return tail ? Ref::steal(PyUnicode_Concat(path, tail.get())) : Ref();
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
    // The one place where a save that could not replace rewrites in place;
    // by now the new file is gone and the old one closed.
    return outcome == Outcome::RewriteInPlace && rewrite_in_place(path.get(), parser);
}

}  // namespace tessavor::station
