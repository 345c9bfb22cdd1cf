#include "traceback.hpp"

#include "kept.hpp"

namespace tessavor {
namespace {

// One code object per function, made at the first exception that passes
// through it.
struct CodeSlot {
    const FunctionSpec* spec;
    PyObject* code;
};

constexpr int kCodeSlots = 24;

struct Codes {
    CodeSlot slots[kCodeSlots];
};

Kept<Codes> codes;

// The code object of `spec`'s entry, or null with the error set.
Ref code_of(const FunctionSpec& spec) {
    CodeSlot* free_slot = nullptr;
    for (CodeSlot& slot : codes.value().slots) {
        if (slot.spec == &spec) {
            return Ref::borrow(slot.code);
        }
        if (slot.spec == nullptr && free_slot == nullptr) {
            free_slot = &slot;
        }
    }
    Ref code = Ref::steal(compat::empty_code("m4r_tessavor", spec.name, 1));
    if (code && free_slot != nullptr) {
        *free_slot = CodeSlot{&spec, compat::new_ref(code.get())};
    }
    return code;
}

}  // namespace

void add_traceback_entry(const FunctionSpec& spec, PyObject* globals) noexcept {
    if (globals == nullptr || !PyDict_Check(globals) || !PyErr_Occurred()) {
        return;
    }
    // The entry's objects are made with no exception pending; a failure to
    // make them leaves the exception as it was.
    PyObject* raised = compat::take_raised_exception();
    Ref code = code_of(spec);
    Ref frame = code ? Ref::steal(compat::new_frame(code.get(), globals)) : Ref();
    PyErr_Clear();
    compat::set_raised_exception(raised);
    if (frame) {
        // On failure its own error stands, with ours as its context.
        static_cast<void>(PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())));
    }
}

}  // namespace tessavor
