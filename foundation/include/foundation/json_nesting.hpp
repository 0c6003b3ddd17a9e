#pragma once
// How deeply JSON text nests its arrays and objects, told without parsing it. nlohmann::json parses without
// recursing, but copies, compares and writes a value by recursion, which text nested deeply enough would
// overflow the stack of: readers of untrusted JSON refuse such text before a value is built. Brackets inside
// strings do not count; everything else is left for the parser to judge.
#include <cstddef>
#include <string_view>

namespace foundation {

bool jsonNestsDeeperThan(std::string_view text, std::size_t limit);

}  // namespace foundation
