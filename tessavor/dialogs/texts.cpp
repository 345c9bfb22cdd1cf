#include "texts.hpp"

namespace tessavor::dialogs {
namespace {

Numbers the_numbers;

bool make_number(PyObject*& slot, long value) {
    if (slot == nullptr) {
        slot = PyLong_FromLong(value);
    }
    return slot != nullptr;
}

}  // namespace

const Numbers& numbers() noexcept { return the_numbers; }

bool prepare_dialog_texts() noexcept {
    static bool prepared = false;
    if (!prepared) {
        Numbers& n = the_numbers;
        prepared = prepare_texts() && make_number(n.zero, 0) && make_number(n.one, 1) && make_number(n.two, 2) &&
                   make_number(n.border, 5) && make_number(n.no_wrap, -1);
    }
    return prepared;
}

}  // namespace tessavor::dialogs
