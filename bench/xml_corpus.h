// Documents of a given size for the XML load benchmarks, written to a file: many small elements
// with attributes (a large URL table) or long text content (paragraphs of 8 KB).
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

namespace ktbench {

enum class XmlKind { SmallElements = 0, LongText = 1 };

inline const char* XmlKindLabel(XmlKind kind) {
    return kind == XmlKind::SmallElements ? "small_elements" : "long_text";
}

// Writes a document of about nBytes (at least) and returns its size.
inline size_t WriteXmlCorpus(const std::string& strPath, XmlKind kind, size_t nBytes) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    std::string strPara;
    const char* pszWords[] = {"feedback ", "report ",  "screen ", "server ",      "attachment ",
                              "customer ", "problem ", "title ",  "description ", "&amp; "};
    for (int i = 0; strPara.size() < 8000; ++i) strPara += pszWords[(i * 7) % 10];
    std::string strChunk = kind == XmlKind::SmallElements
                               ? "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root>\r\n"
                               : "<?xml version=\"1.0\"?>\r\n<doc>\r\n";
    size_t nWritten = 0;
    char sz[256];
    for (int i = 0; nWritten + strChunk.size() < nBytes; ++i) {
        if (kind == XmlKind::SmallElements) {
            std::snprintf(sz, sizeof(sz),
                          "  <url id=\"%d\" name=\"service%d\" path=\"http://srv%d.example.com/"
                          "api/v2/item?id=%d&amp;k=1\"/>\r\n",
                          i, i % 97, i % 13, i);
            strChunk += sz;
        } else {
            strChunk += "  <para n=\"" + std::to_string(i) + "\">" + strPara + "</para>\r\n";
        }
        if (strChunk.size() > (1u << 20)) {
            out << strChunk;
            nWritten += strChunk.size();
            strChunk.clear();
        }
    }
    strChunk += kind == XmlKind::SmallElements ? "</root>\r\n" : "</doc>\r\n";
    out << strChunk;
    return nWritten + strChunk.size();
}

}  // namespace ktbench
