// What the module keeps between calls, for the life of one interpreter.
//
// Interned texts, constant tuples, the function type, a codec found once:
// each is made the first time it is needed and kept in a static `Kept<T>`.
// All of it belongs to the interpreter that made it. After that interpreter
// is finalised (Py_FinalizeEx, which a host embedding Python may follow with
// Py_Initialize in the same process) `forget_kept()` sets every enlisted
// static back to its first value, so that the next interpreter's import
// makes its own. Nothing is released on the way: the objects died with
// their interpreter.
#pragma once

#include "compat.hpp"

#include <type_traits>

namespace tessavor {

class Keeper {
public:
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;

protected:
    using Forget = void (*)(Keeper&) noexcept;
    constexpr explicit Keeper(Forget forget) noexcept : forget_(forget) {}
    ~Keeper() = default;
    // Puts this keeper on the list that forget_kept() walks, once.
    void enlist() noexcept {
        if (!listed_) {
            enlist_now();
        }
    }

private:
    void enlist_now() noexcept;
    friend void forget_kept() noexcept;
    Forget forget_;
    Keeper* next_ = nullptr;
    bool listed_ = false;
};

// A static of type T whose value-initialised state means "not made yet"
// (null pointers, false flags). T must be trivially destructible, so that
// the static needs no code at load or at exit.
template <class T>
class Kept : public Keeper {
    static_assert(std::is_trivially_destructible_v<T>, "a kept static needs no code at exit");

public:
    constexpr Kept() noexcept : Keeper(&forget_value) {}
    // For a writer: the value, enlisted to be forgotten with the interpreter.
    T& value() noexcept {
        enlist();
        return value_;
    }
    // For a reader on a hot path.
    const T& peek() const noexcept { return value_; }

private:
    static void forget_value(Keeper& keeper) noexcept { static_cast<Kept&>(keeper).value_ = T{}; }
    T value_{};
};

// Sets every enlisted static back to its first value. Runs after the
// interpreter is finalised, with no Python object to touch.
void forget_kept() noexcept;

}  // namespace tessavor
