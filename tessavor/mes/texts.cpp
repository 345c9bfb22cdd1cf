#include "texts.hpp"

namespace tessavor::mes {
namespace {
Texts the_texts;
}

const Texts& texts() noexcept { return the_texts; }

bool prepare_texts() noexcept {
    Texts& t = the_texts;
    TESSAVOR_MES_TEXTS(TESSAVOR_TEXT_FILL)
    return true;
}

}  // namespace tessavor::mes
