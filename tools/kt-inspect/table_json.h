// The JSON shapes of docs/INSPECT.md for data cells and tables, shared by every subcommand that
// prints a table (table, reply, inet-table). Header-only, because kt-inspect builds its cmd_*.cpp
// files and nothing else.
//   cell:  {"type": GetType(), "valid": IsValid(), "text": GetString()}
//   table: {"colCount", "rowCount", "props": {name: cell}, "heads": [{"name", "type", "attrs"}],
//           "rows": [[cell, ...], ...]}
#pragma once

#include <nlohmann/json.hpp>

#include "datatable/datatable.h"
#include "platform/codepage.h"

namespace ktinspect {

inline nlohmann::json CellToJson(const kt::CDataCell& cell) {
    return nlohmann::json{{"type", cell.GetType()},
                          {"valid", cell.IsValid()},
                          {"text", kt::ToUtf8(cell.GetString())}};
}

inline nlohmann::json CellMapToJson(const std::map<std::u16string, kt::CDataCell>& map) {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [strName, cell] : map) json[kt::ToUtf8(strName)] = CellToJson(cell);
    return json;
}

inline nlohmann::json TableToJson(const kt::CDataTable& table) {
    nlohmann::json heads = nlohmann::json::array();
    for (const kt::CDataColumnHead& head : table.m_vecHeads) {
        heads.push_back({{"name", kt::ToUtf8(head.m_strName)},
                         {"type", head.m_nType},
                         {"attrs", CellMapToJson(head.m_mapAttrs)}});
    }
    nlohmann::json rows = nlohmann::json::array();
    for (int32_t r = 0; r < table.GetRowCount(); ++r) {
        nlohmann::json row = nlohmann::json::array();
        // Every column of the table, as its accessors reach them (a short row shows empty cells).
        for (int32_t c = 0; c < table.GetColCount(); ++c) {
            const kt::CDataCell* pCell = table.GetCell(r, c);
            row.push_back(CellToJson(pCell ? *pCell : kt::CDataCell()));
        }
        rows.push_back(std::move(row));
    }
    return nlohmann::json{{"colCount", table.m_nCols},
                          {"rowCount", table.GetRowCount()},
                          {"props", CellMapToJson(table.m_mapProps)},
                          {"heads", std::move(heads)},
                          {"rows", std::move(rows)}};
}

inline nlohmann::json TableToJson(const kt::CDataTable* pTable) {
    return pTable ? TableToJson(*pTable) : nlohmann::json(nullptr);
}

}  // namespace ktinspect
