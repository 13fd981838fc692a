// Hex and table helpers for the data table tests.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "datatable/datatable.h"
#include "platform/codepage.h"

namespace kttest {

// Hex bytes ("80 80 82") to a byte string, and back.
inline std::string Hex(const char* psz) {
    std::string out;
    std::istringstream in(psz);
    for (unsigned n; in >> std::hex >> n;) out += static_cast<char>(n);
    return out;
}

inline std::string ToHex(const std::string& str) {
    std::string out;
    char sz[4];
    for (unsigned char c : str) out += (std::snprintf(sz, sizeof(sz), " %02X", c), sz);
    return out.empty() ? out : out.substr(1);
}

// The bytes of a fixture in inspect/, which kt-inspect's checks read too: example_section.bin
// (no properties; columns ID DT_INTEGER and N DT_STRING; one row 1, "ab") and example_reply.bin
// (status 0, message "", that section as the payload).
inline std::string FixturePath(const char* pszName) {
    return std::string(KT_DATATABLE_FIXTURES "/") + pszName;
}
inline std::string Fixture(const char* pszName) {
    std::ifstream in(FixturePath(pszName), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// An exact-size heap copy of the bytes, so that ASan sees any read past them.
inline std::unique_ptr<char[]> ExactCopy(const std::string& str) {
    std::unique_ptr<char[]> p(new char[str.size()]);
    str.copy(p.get(), str.size());
    return p;
}

// Every cell's text, cells joined by "," and rows by "|".
inline std::u16string Cells(const kt::CDataTable& table) {
    std::u16string str;
    for (int r = 0; r < table.GetRowCount(); ++r) {
        for (int c = 0; c < table.GetColCount(); ++c)
            str += (c ? u"," : r ? u"|" : u"") + table.GetCellString(r, c);
    }
    return str;
}

}  // namespace kttest
