// The program's string table: ids 1001..1019, the transfer engine's result-code texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace kt {

inline constexpr uint32_t IDS_HTTP_ERR_FIRST = 1001;
inline constexpr uint32_t IDS_HTTP_ERR_LAST = 1019;

// LoadString: the text of the id, or an empty view for an id the table does not hold.
std::u16string_view LoadResString(uint32_t nId);

}  // namespace kt
