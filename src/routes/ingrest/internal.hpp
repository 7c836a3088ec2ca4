// What the routes defined in other files of this component share with
// ingrest.cpp. Not part of the component's interface.
#pragma once

#include "routes/ingrest/ingrest.hpp"

#include <memory>
#include <string_view>

namespace talmo::ingrest::internal {

// The bindings in force; they stay valid as long as the pointer is held.
std::shared_ptr<const Bindings> current_bindings();

// The owner check of every webhook: true for the owner; a stranger's
// refusal is logged as the other routes log it (rate-limited).
bool owner_or_logged(std::string_view sender);

}  // namespace talmo::ingrest::internal
