#include "traceback.hpp"

#include "kept.hpp"

namespace tessavor {
namespace {

// One frame per function, made at the first exception that passes through
// it and given to every later one: an entry then costs only its traceback
// object. The frame has run nothing and holds nothing but its code and the
// module's namespace, so sharing it between tracebacks changes nothing they
// show. Forgotten with the interpreter.
struct FrameSlot {
    const FunctionSpec* spec;
    PyObject* globals;  // borrowed: the namespace the frame was made with
    PyObject* frame;    // owned
};

constexpr int kFrameSlots = 24;

struct Frames {
    FrameSlot slots[kFrameSlots];
};

Kept<Frames> frames;

// The frame of `spec`'s entry (borrowed when kept), or null with the error
// set; made with no exception pending.
Ref frame_of(const FunctionSpec& spec, PyObject* globals) {
    FrameSlot* free_slot = nullptr;
    for (FrameSlot& slot : frames.value().slots) {
        if (slot.spec == &spec && slot.globals == globals) {
            return Ref::borrow(slot.frame);
        }
        if (slot.spec == nullptr && free_slot == nullptr) {
            free_slot = &slot;
        }
    }
    Ref code = Ref::steal(compat::empty_code("m4r_tessavor", spec.name, 1));
    Ref frame = code ? Ref::steal(compat::new_frame(code.get(), globals)) : Ref();
    if (frame && free_slot != nullptr) {
        *free_slot = FrameSlot{&spec, globals, compat::new_ref(frame.get())};
    }
    return frame;
}

}  // namespace

void add_traceback_entry(const FunctionSpec& spec, PyObject* globals) noexcept {
    if (globals == nullptr || !PyDict_Check(globals) || !PyErr_Occurred()) {
        return;
    }
    for (const FrameSlot& slot : frames.peek().slots) {
        if (slot.spec == &spec && slot.globals == globals) {
            // On failure its own error stands, with ours as its context.
            static_cast<void>(PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(slot.frame)));
            return;
        }
    }
    // The entry's objects are made with no exception pending; a failure to
    // make them leaves the exception as it was.
    PyObject* raised = compat::take_raised_exception();
    Ref frame = frame_of(spec, globals);
    PyErr_Clear();
    compat::set_raised_exception(raised);
    if (frame) {
        static_cast<void>(PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())));
    }
}

}  // namespace tessavor
