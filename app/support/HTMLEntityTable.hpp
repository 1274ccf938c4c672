#pragma once
// The HTML named character references whose names end in ";" (WHATWG list), keyed by
// the name without "&" and ";". The table is a generated, sorted constant array
// (HTMLEntityTable.cpp, see tools/gen_html_entities.py): no start-up cost, any thread.
#include <cstddef>
#include <optional>
#include <string_view>

namespace kiv {

// The replacement text (UTF-8) of the reference `name`; case matters ("amp", not "AMP"
// unless the list has it). Absent for unknown names.
std::optional<std::string_view> htmlEntityValue(std::string_view name);

// Number of names in the table.
std::size_t htmlEntityCount();

}  // namespace kiv
