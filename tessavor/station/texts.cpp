#include "texts.hpp"

namespace tessavor::station {
namespace {
Texts the_texts;
}

const Texts& texts() noexcept { return the_texts; }

bool prepare_texts() noexcept {
    Texts& t = the_texts;
    TESSAVOR_STATION_TEXTS(TESSAVOR_TEXT_FILL)
    return true;
}

}  // namespace tessavor::station
