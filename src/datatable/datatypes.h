// The cell type codes: shared by the cell and by the wire reader, which maps the reply format's
// type indexes onto them without needing the cell itself.
#pragma once

#include <cstdint>

namespace kt {

// Type codes. The flag byte (bits 24-31) is never part of a code.
inline constexpr uint32_t DT_EMPTY = 0x000;
inline constexpr uint32_t DT_RESERVED1 = 0x001;
inline constexpr uint32_t DT_RESERVED2 = 0x002;
inline constexpr uint32_t DT_TABLE = 0x003;
inline constexpr uint32_t DT_INTEGER = 0x100;
inline constexpr uint32_t DT_YEAR = 0x101;
inline constexpr uint32_t DT_BOOL = 0x102;
inline constexpr uint32_t DT_TIME = 0x120;
inline constexpr uint32_t DT_DATE = 0x130;
inline constexpr uint32_t DT_DATE_NUMBER = 0x131;
inline constexpr uint32_t DT_DATE_NUMBER2 = 0x132;
inline constexpr uint32_t DT_DOUBLE = 0x200;
inline constexpr uint32_t DT_FLOAT = 0x201;
inline constexpr uint32_t DT_FLOAT2 = 0x202;
inline constexpr uint32_t DT_STRING = 0x400;
inline constexpr uint32_t DT_STRING1 = 0x401;
inline constexpr uint32_t DT_STRING2 = 0x402;
inline constexpr uint32_t DT_STRING3 = 0x403;

inline constexpr uint32_t DT_FAMILY_INTEGER = 0x100;
inline constexpr uint32_t DT_FAMILY_FLOAT = 0x200;
inline constexpr uint32_t DT_FAMILY_STRING = 0x400;
inline constexpr uint32_t DT_FAMILY_DATE = 0x130;
inline constexpr uint32_t DT_CODE_MASK = 0x00FFFFFF;
inline constexpr uint32_t DT_FLAGS_MASK = 0xFF000000;

}  // namespace kt
