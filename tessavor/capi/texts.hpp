// Tables of interned texts, made once when the module is first executed and
// kept for the life of the interpreter. In a subsystem's namespace,
//
//   #define MY_TEXTS(X) X(connect, "connect") X(close, "close")
//   TESSAVOR_TEXT_TABLE(MY_TEXTS)
//
// defines `struct Texts` with a member per text, `texts()` to read them and
// `prepare_texts()` to make them (false with the error set on failure).
#pragma once

#include "call.hpp"
#include "kept.hpp"

#define TESSAVOR_TEXT_FIELD(id, literal) PyObject* id = nullptr;
#define TESSAVOR_TEXT_FILL(id, literal)            \
    if (t.id == nullptr) {                         \
        t.id = ::tessavor::intern(literal);        \
        if (t.id == nullptr) {                     \
            return false;                          \
        }                                          \
    }

#define TESSAVOR_TEXT_TABLE(LIST)                       \
    struct Texts {                                      \
        LIST(TESSAVOR_TEXT_FIELD)                       \
    };                                                  \
    inline ::tessavor::Kept<Texts> the_texts;           \
    inline const Texts& texts() noexcept {              \
        return the_texts.peek();                        \
    }                                                   \
    [[nodiscard]] inline bool prepare_texts() noexcept { \
        Texts& t = the_texts.value();                   \
        LIST(TESSAVOR_TEXT_FILL)                        \
        return true;                                    \
    }
