// Consistency of a document's element records with its text, shared by the tests and the fuzz
// target: links agree both ways, every element lies inside its parent's content and after its
// previous sibling, offsets stay inside the text, and each record's lengths cover a start tag (and
// an end tag of the same name) that is really there.
#pragma once

#include <string>
#include <vector>

#include "xml/xmldocument.h"

namespace kt_xml_test {

// Empty when the records are consistent, else a description of the first fault.
inline std::string CheckRecords(const kt::CXmlDocument& doc) {
    using kt::ElementRecord;
    const std::u16string& strDoc = doc.GetDocument();
    const int32_t nDoc = static_cast<int32_t>(strDoc.size());
    const int32_t nCount = doc.GetRecordCount();
    auto Fail = [](const char* psz, int32_t i) {
        return std::string(psz) + " at record " + std::to_string(i);
    };
    if (nCount < 1) return "no record 0";
    if (doc.GetRecord(0).nLength != nDoc) return Fail("document length", 0);
    std::vector<int32_t> vecStack{0};
    std::vector<char> vecSeen(static_cast<size_t>(nCount), 0);
    while (!vecStack.empty()) {
        const int32_t iParent = vecStack.back();
        vecStack.pop_back();
        const ElementRecord& parent = doc.GetRecord(iParent);
        const int32_t iFirst = parent.nFirstChild;
        if (iFirst == 0) continue;
        if (iFirst < 0 || iFirst >= nCount) return Fail("first child out of range", iParent);
        const int32_t nLow = iParent == 0 ? 0 : parent.ContentStart();
        const int32_t nHigh = iParent == 0 ? nDoc : parent.End() - parent.EndTagLength();
        int32_t iPrev = 0;
        int32_t nAfter = nLow;
        for (int32_t i = iFirst; i != 0;) {
            if (i < 0 || i >= nCount) return Fail("next out of range", iPrev);
            if (vecSeen[i]) return Fail("record reached twice", i);
            vecSeen[i] = 1;
            const ElementRecord& rec = doc.GetRecord(i);
            if (rec.nLevelFlags & ElementRecord::kReleased)
                return Fail("released record linked", i);
            if (rec.nParent != iParent) return Fail("parent link", i);
            const bool bFirst = (rec.nLevelFlags & ElementRecord::kFirstChild) != 0;
            if (bFirst != (i == iFirst)) return Fail("first-child flag", i);
            if (i != iFirst && rec.nPrev != iPrev) return Fail("previous link", i);
            if (rec.nNext == 0 && doc.GetRecord(iFirst).nPrev != i)
                return Fail("back link", iFirst);
            if (rec.nStart < nAfter) return Fail("starts before its previous sibling ends", i);
            if (rec.nLength < rec.StartTagLength() + rec.EndTagLength() || rec.StartTagLength() < 2)
                return Fail("lengths", i);
            if (rec.End() > nHigh) return Fail("ends outside its parent", i);
            if (strDoc[rec.nStart] != u'<') return Fail("no '<' at start", i);
            if (strDoc[rec.nStart + rec.StartTagLength() - 1] != u'>')
                return Fail("start tag end", i);
            if (rec.EndTagLength() > 0) {
                const int32_t nEnd = rec.End() - rec.EndTagLength();
                if (strDoc.compare(nEnd, 2, u"</") != 0 || strDoc[rec.End() - 1] != u'>')
                    return Fail("end tag", i);
            }
            if (rec.IsEmpty() && !(rec.nLevelFlags & ElementRecord::kNotEnded) &&
                strDoc[rec.End() - 2] != u'/') {
                return Fail("empty element without '/>'", i);
            }
            nAfter = rec.End();
            vecStack.push_back(i);
            iPrev = i;
            i = rec.nNext;
        }
    }
    return {};
}

}  // namespace kt_xml_test
