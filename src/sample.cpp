#include "sample.hpp"

namespace linora {

std::string debug_text(const SizeMismatch& e) {
    return "SizeMismatch { expected: " + std::to_string(e.expected) +
           ", got: " + std::to_string(e.got) + " }";
}

} // namespace linora
