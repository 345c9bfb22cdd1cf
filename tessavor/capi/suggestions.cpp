// The edit distance the interpreter uses for its hints: Levenshtein over the
// UTF-8 bytes, where a move (insert, delete, substitute) costs 2 and a change
// of ASCII case costs 1; no more than a third of the characters involved may
// change, and very long names or lists get no hint.
#include "suggestions.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace tessavor {
namespace {

constexpr Py_ssize_t kMaxCandidates = 750;
constexpr size_t kMaxLength = 40;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) noexcept {
    if ((a & 31) != (b & 31)) {
        return kMoveCost;  // neither the same nor a case flip
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? kCaseCost : kMoveCost;
}

// The distance from a to b, or max_cost + 1 for anything dearer. One row
// of the matrix is kept, in `row` (kMaxLength entries).
size_t distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost, size_t* row) noexcept {
    while (a_size != 0 && b_size != 0 && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size != 0 && b_size != 0 && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * kMoveCost;
    }
    if (a_size > kMaxLength || b_size > kMaxLength) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    for (size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * kMoveCost;  // from b[:0] to a[:i+1]
    }
    size_t result = 0;
    for (size_t b_index = 0; b_index < b_size; ++b_index) {
        size_t diagonal = result = b_index * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t index = 0; index < a_size; ++index) {
            const size_t substitute = diagonal + substitution_cost(b[b_index], a[index]);
            diagonal = row[index];
            const size_t insert_delete = (result < diagonal ? result : diagonal) + kMoveCost;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[index] = result;
            minimum = result < minimum ? result : minimum;
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

}  // namespace

Ref nearest_name(PyObject* candidates, Py_ssize_t first, PyObject* name) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(candidates) - first;
    if (count <= 0 || count >= kMaxCandidates) {
        return Ref();
    }
    Py_ssize_t name_size = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(name, &name_size);
    if (name_text == nullptr) {
        PyErr_Clear();
        return Ref();
    }
    size_t row[kMaxLength];
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = first; i < PyTuple_GET_SIZE(candidates); ++i) {
        PyObject* item = PyTuple_GET_ITEM(candidates, i);
        Py_ssize_t item_size = 0;
        const char* item_text = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (item_text == nullptr) {
            PyErr_Clear();
            return Ref();
        }
        if (item_size == name_size && std::memcmp(item_text, name_text, static_cast<size_t>(name_size)) == 0) {
            continue;
        }
        size_t max_distance = static_cast<size_t>(name_size + item_size + 3) * kMoveCost / 6;
        if (best_distance - 1 < max_distance) {
            max_distance = best_distance - 1;  // no match we have already beaten
        }
        const size_t d = distance(name_text, static_cast<size_t>(name_size), item_text,
                                  static_cast<size_t>(item_size), max_distance, row);
        if (d <= max_distance && (best == nullptr || d < best_distance)) {
            best = item;
            best_distance = d;
        }
    }
    return best != nullptr ? Ref::borrow(best) : Ref();
}

}  // namespace tessavor
