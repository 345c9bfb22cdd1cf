#include "kept.hpp"

namespace tessavor {
namespace {

Keeper* kept_list = nullptr;

}  // namespace

void Keeper::enlist_now() noexcept {
    next_ = kept_list;
    kept_list = this;
    listed_ = true;
}

void forget_kept() noexcept {
    Keeper* keeper = kept_list;
    kept_list = nullptr;
    while (keeper != nullptr) {
        Keeper* next = keeper->next_;
        keeper->forget_(*keeper);
        keeper->next_ = nullptr;
        keeper->listed_ = false;
        keeper = next;
    }
}

}  // namespace tessavor
