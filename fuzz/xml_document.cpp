// Arbitrary bytes become a document (the first byte picks the name-case flag and the edit values);
// then every element and node is walked and read, one edit of each kind is made, and the records
// are checked against the text after each step. Findings: a crash, a sanitizer report, or a trap
// when the records stop describing the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/xml/record_check.h"
#include "platform/codepage.h"
#include "xml/xmldocument.h"

namespace {

using kt::CXmlDocument;

void Check(const CXmlDocument& doc, const char* pszStep) {
    const std::string strFault = kt_xml_test::CheckRecords(doc);
    if (!strFault.empty()) {
        std::fprintf(stderr, "after %s: %s\n", pszStep, strFault.c_str());
        std::abort();
    }
}

// Reads everything the position offers; results are only touched so that nothing is skipped.
size_t ReadAll(CXmlDocument& doc) {
    size_t nSum = doc.GetElementName().size() + doc.GetText().size() + doc.GetElementPath().size();
    for (int n = 0; n < 4; ++n) {
        const std::u16string strName = doc.GetAttributeName(n);
        if (strName.empty()) break;
        nSum += doc.GetAttribute(strName).size();
    }
    return nSum;
}

// Every element, depth first, through the position operations only.
size_t WalkElements(CXmlDocument& doc) {
    size_t nSum = 0;
    int nSteps = 0;
    doc.ResetPosition();
    for (;;) {
        if (++nSteps > 20000) break;
        if (doc.FindElement()) {
            nSum += ReadAll(doc);
            if (doc.EnterElement()) continue;
            break;
        }
        if (!doc.LeaveElement()) break;
    }
    return nSum;
}

size_t WalkNodes(CXmlDocument& doc) {
    size_t nSum = 0;
    doc.ResetPosition();
    for (int n = 0; n < 2000; ++n) {
        const int nType = doc.FindNode(0);
        if (nType == 0) break;
        nSum += ReadAll(doc) + static_cast<size_t>(nType);
    }
    return nSum;
}

// The scanner's fast routines against its state machine, node by node over the whole text, with
// the length known (the fast routines' block reads) and not.
void CompareScans(const std::u16string& strText, uint32_t nDocFlags, int32_t nTextLength) {
    kt::TagScanner fast;
    fast.pText = strText.c_str();
    fast.nTextLength = nTextLength;
    fast.nFlags = nDocFlags;
    kt::TagScanner reference = fast;
    reference.nFlags |= kt::TagScanner::kReferenceScan;
    kt::NodeToken tokFast;
    kt::NodeToken tokReference;
    for (;;) {
        const int nType = CXmlDocument::ScanNode(fast, tokFast);
        const bool bSame =
            nType == CXmlDocument::ScanNode(reference, tokReference) &&
            tokFast.nStart == tokReference.nStart && tokFast.nLength == tokReference.nLength &&
            tokFast.nFlags == tokReference.nFlags && tokFast.strText == tokReference.strText &&
            fast.nNext == reference.nNext &&
            (nType != CXmlDocument::NodeEndTag ||
             (fast.nNameStart == reference.nNameStart && fast.nNameEnd == reference.nNameEnd));
        if (!bSame) {
            std::fprintf(stderr, "scanners differ at offset %d (type %d)\n", tokReference.nStart,
                         nType);
            std::abort();
        }
        if (nType == CXmlDocument::ScanEnd) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0 || nSize > 1 << 16) return 0;
    const uint8_t nSelect = pData[0];
    const std::u16string strText =
        kt::FromUtf8(std::string(reinterpret_cast<const char*>(pData + 1), nSize - 1));

    CompareScans(strText, (nSelect & 1) ? CXmlDocument::IgnoreNameCase : 0,
                 static_cast<int32_t>(strText.size()));
    CompareScans(strText, 0, -1);

    CXmlDocument doc;
    doc.SetDocFlags((nSelect & 1) ? CXmlDocument::IgnoreNameCase : 0);
    doc.SetDocument(strText);
    Check(doc, "parse");
    volatile size_t nSink = WalkElements(doc) + WalkNodes(doc);

    const uint32_t nFlags = ((nSelect & 2) ? CXmlDocument::TextNoLineBreak : 0) |
                            ((nSelect & 4) ? CXmlDocument::TextAsCData : 0) |
                            ((nSelect & 8) ? CXmlDocument::InsertBefore : 0) |
                            ((nSelect & 16) ? CXmlDocument::TextSpaceBeforeSlash : 0);

    // Land on the deepest first element, then edit around it.
    doc.ResetPosition();
    while (doc.FindElement() && doc.FindChildElement()) doc.EnterElement();
    doc.SavePosition(u"here");
    doc.SetAttribute(u"k", u"v\"<&>");
    Check(doc, "SetAttribute");
    doc.SetAttribute(u"k", 42);
    Check(doc, "SetAttribute int");
    doc.SetText(u"t]]>x", nFlags & CXmlDocument::TextAsCData);
    Check(doc, "SetText");
    doc.AddElement(u"n", u"1", nFlags);
    Check(doc, "AddElement");
    doc.AddElement(u"c", {}, nFlags | CXmlDocument::InsertAsChild);
    Check(doc, "AddElement child");
    doc.AddElement(u"u", {}, CXmlDocument::TextNoEndTag);
    Check(doc, "AddElement no end tag");
    doc.AddNode(CXmlDocument::NodeComment, u"c", nFlags);
    Check(doc, "AddNode");
    doc.SetText(u"z");
    Check(doc, "SetText node");
    doc.RestorePosition(u"here");
    // The input itself as a fragment: ill-formed fragments go in as plain text.
    doc.AddSubDocument(strText.substr(0, 256), nFlags);
    Check(doc, "AddSubDocument");
    doc.RestorePosition(u"here");
    if (nSelect & 32) {
        doc.FindChildElement();
        doc.RemoveChildElement();
        Check(doc, "RemoveChildElement");
    }
    doc.RestorePosition(u"here");
    doc.ReplaceWithSubDocument(strText.substr(strText.size() / 2, 128));
    Check(doc, "ReplaceWithSubDocument");
    doc.RemoveElement();
    Check(doc, "RemoveElement");
    if (doc.FindNode(0) > 1) {
        doc.RemoveNode();
        Check(doc, "RemoveNode");
    }
    nSink = nSink + WalkElements(doc) + WalkNodes(doc);

    // Re-parsing the edited text must describe it as well.
    CXmlDocument copy;
    copy = doc;
    Check(copy, "copy");
    copy.SetDocument(doc.GetDocument());
    Check(copy, "reparse");
    nSink = nSink + CXmlDocument::UnescapeText(strText).size() +
            CXmlDocument::EscapeText(strText, CXmlDocument::TextKeepReferences).size() +
            CXmlDocument::GetDeclaredEncoding(strText).size();
    (void)nSink;
    return 0;
}
