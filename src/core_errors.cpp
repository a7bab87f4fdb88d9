#include "core_errors.hpp"

namespace linora {

std::string to_string(const SizeMismatch& e) {
    return "expected a buffer of length " + std::to_string(e.expected) + " (got " +
           std::to_string(e.got) + ")";
}

} // namespace linora
