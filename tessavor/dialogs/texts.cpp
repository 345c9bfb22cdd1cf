#include "texts.hpp"

namespace tessavor::dialogs {
namespace {
Texts the_texts;
Numbers the_numbers;

bool make_number(PyObject*& slot, long value) {
    if (slot == nullptr) {
        slot = PyLong_FromLong(value);
    }
    return slot != nullptr;
}
}  // namespace

const Texts& texts() noexcept { return the_texts; }
const Numbers& numbers() noexcept { return the_numbers; }

bool prepare_texts() noexcept {
    Texts& t = the_texts;
    TESSAVOR_DIALOG_TEXTS(TESSAVOR_TEXT_FILL)
    Numbers& n = the_numbers;
    return make_number(n.zero, 0) && make_number(n.one, 1) && make_number(n.two, 2) && make_number(n.border, 5) &&
           make_number(n.no_wrap, -1);
}

}  // namespace tessavor::dialogs
