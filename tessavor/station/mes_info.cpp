// MESInfo reads info.cfg once, when it is made, into a configparser parser
// that it keeps (the private attribute __ini) together with everything else
// the file held; Save puts the four current values into the parser's Sec
// section and writes the whole parser back (settings_file.hpp). Every error
// of the parser or the file system reaches the caller, except those of the
// housekeeping after and around the write: the folder sync and the removal
// of new files that dead saves left.
#include "mes_info.hpp"

#include "../capi/call.hpp"
#include "../state/module_state.hpp"
#include "settings_file.hpp"
#include "texts.hpp"

namespace tessavor::station {
namespace {

struct Item {
    PyObject* key;        // key in the Sec section
    PyObject* attribute;  // attribute of the MESInfo object
};

// The four items in the order they are read and saved.
struct Items {
    Item all[4];
};

Items items() {
    const Texts& t = texts();
    return Items{{{t.producttype, t.ProductType}, {t.mrno, t.MRNo}, {t.opname, t.OPName}, {t.slot, t.Slot}}};
}

// The interpolating parser class of _cp. Newer hosts dropped its old name
// SafeConfigParser; ConfigParser is the class that name stood for.
Ref parser_class() {
    Ref cp = global(texts()._cp);
    if (!cp) {
        return cp;
    }
    Ref cls = attr(cp.get(), texts().SafeConfigParser);
    if (cls || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return cls;
    }
    PyErr_Clear();
    return attr(cp.get(), texts().ConfigParser);
}

// Reads self.ININame into the parser when it names an existing file.
bool read_file(PyObject* self, PyObject* parser) {
    const Texts& t = texts();
    Ref name = attr(self, t.ININame);
    if (!name) {
        return false;
    }
    Ref isfile = global(texts()._isfile);
    if (!isfile) {
        return false;
    }
    Ref exists = call(isfile.get(), name.get());
    if (!exists) {
        return false;
    }
    const int truth = PyObject_IsTrue(exists.get());
    if (truth <= 0) {
        return truth == 0;
    }
    name = attr(self, t.ININame);
    return name && call_method(parser, t.read, name.get());
}

bool ensure_section(PyObject* parser) {
    const Texts& t = texts();
    Ref has = call_method(parser, t.has_section, t.section);
    if (!has) {
        return false;
    }
    const int truth = PyObject_IsTrue(has.get());
    if (truth != 0) {
        return truth > 0;
    }
    return static_cast<bool>(call_method(parser, t.add_section, t.section));
}

PyObject* init_body(PyObject* const* args) {
    PyObject* self = args[0];
    const Texts& t = texts();
    // The defaults go to the parser in this order, which is the order of its
    // [DEFAULT] section in the file.
    Ref defaults = dict({{t.producttype, t.empty}, {t.mrno, t.empty}, {t.slot, t.empty}, {t.opname, t.empty}});
    if (!defaults) {
        return nullptr;
    }
    Ref cls = parser_class();
    if (!cls) {
        return nullptr;
    }
    Ref parser = call(cls.get(), defaults.get());
    if (!parser || !read_file(self, parser.get()) || !ensure_section(parser.get())) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, t.parser, parser.get()) < 0) {
        return nullptr;
    }
    for (const Item& item : items().all) {
        Ref value = call_method(parser.get(), t.get, t.section, item.key);
        if (!value || PyObject_SetAttr(self, item.attribute, value.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// 1 when the text holds neither character (the replacements below would
// give it back as it is), 0 when it holds one, -1 with the error set.
int holds_neither(PyObject* text, Py_UCS4 first, Py_UCS4 second) {
    if (compat::unicode_ready(text) < 0) {
        return -1;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_UCS4 c : {first, second}) {
        const Py_ssize_t at = PyUnicode_FindChar(text, c, 0, length, 1);
        if (at != -1) {
            return at == -2 ? -1 : 0;
        }
    }
    return 1;
}

// The text as the parser must hold it so that whatever the operator typed
// reads back from the file: every percent sign doubled, and a carriage
// return (alone or before a line feed) made a line feed, which the parser
// writes as a continuation line; written as it is, reading would take it
// for the end of a line and the rest of the text for a line of the file.
// Anything that is no text is left for the parser to refuse.
Ref storable(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        return Ref::borrow(value);
    }
    if (PyUnicode_CheckExact(value)) {
        const int unchanged = holds_neither(value, '\r', '%');
        if (unchanged != 0) {
            return unchanged > 0 ? Ref::borrow(value) : Ref();
        }
    }
    const Texts& t = texts();
    Ref text = call_method(value, t.replace, t.crlf, t.lf);
    text = text ? call_method(text.get(), t.replace, t.cr, t.lf) : Ref();
    return text ? call_method(text.get(), t.replace, t.percent, t.double_percent) : Ref();
}

PyObject* save_body(PyObject* const* args) {
    PyObject* self = args[0];
    const Texts& t = texts();
    Ref parser = attr(self, t.parser);
    if (!parser) {
        return nullptr;
    }
    for (const Item& item : items().all) {
        Ref value = attr(self, item.attribute);
        if (!value) {
            return nullptr;
        }
        Ref stored = storable(value.get());
        if (!stored || !call_method(parser.get(), t.set, t.section, item.key, stored.get())) {
            return nullptr;
        }
    }
    Ref name = attr(self, t.ININame);
    if (!name || !write_settings_file(name.get(), parser.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const self_parameter[] = {"self"};

}  // namespace

const FunctionSpec mes_info_init = function_spec("__init__", self_parameter, init_body, Passing::PositionalOnly);
const FunctionSpec mes_info_save = function_spec("Save", self_parameter, save_body, Passing::PositionalOnly);

PyObject* default_file_name() noexcept { return texts().file_name; }

}  // namespace tessavor::station
