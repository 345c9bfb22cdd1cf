#include "texts.hpp"

namespace tessavor::dialogs {
namespace {

Kept<Numbers> the_numbers;
Kept<bool> prepared;

bool make_number(PyObject*& slot, long value) {
    if (slot == nullptr) {
        slot = PyLong_FromLong(value);
    }
    return slot != nullptr;
}

}  // namespace

const Numbers& numbers() noexcept { return the_numbers.peek(); }

bool prepare_dialog_texts() noexcept {
    bool& done = prepared.value();
    if (!done) {
        Numbers& n = the_numbers.value();
        done = prepare_texts() && make_number(n.zero, 0) && make_number(n.one, 1) && make_number(n.two, 2) &&
               make_number(n.border, 5) && make_number(n.no_wrap, -1);
    }
    return done;
}

}  // namespace tessavor::dialogs
