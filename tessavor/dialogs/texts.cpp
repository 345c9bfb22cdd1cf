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

bool prepare_numbers() noexcept {
    Numbers& n = the_numbers;
    return make_number(n.zero, 0) && make_number(n.one, 1) && make_number(n.two, 2) && make_number(n.border, 5) &&
           make_number(n.no_wrap, -1);
}

}  // namespace tessavor::dialogs
