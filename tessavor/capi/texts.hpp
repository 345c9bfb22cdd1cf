// Tables of interned texts, made once when the module is first executed and
// kept for the life of the process.
//
//   #define MY_TEXTS(X) X(connect, "connect") X(close, "close")
//   struct MyTexts { MY_TEXTS(TESSAVOR_TEXT_FIELD) };
//   bool fill(MyTexts& t) { MY_TEXTS(TESSAVOR_TEXT_FILL) return true; }
#pragma once

#include "call.hpp"

#define TESSAVOR_TEXT_FIELD(id, literal) PyObject* id = nullptr;
#define TESSAVOR_TEXT_FILL(id, literal)            \
    if (t.id == nullptr) {                         \
        t.id = ::tessavor::intern(literal);        \
        if (t.id == nullptr) {                     \
            return false;                          \
        }                                          \
    }
