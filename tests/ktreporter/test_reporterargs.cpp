// The command line as the calling client builds it: pairs of a switch and a value. Anything else
// must stop the reporter before it shows a window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktreporter/reporterargs.h"
#include "platform/trace.h"

namespace {

struct Parsed {
    bool bOk;
    kt::CReporterArgs args;
};

Parsed Parse(std::vector<std::u16string> vecArgs) {
    vecArgs.insert(vecArgs.begin(), u"ktreporter");
    Parsed p{};
    p.bOk = kt::ParseCommandLine(p.args, vecArgs);
    return p;
}

TEST(ReporterArgs, NoArgumentsKeepsTheDefaults) {
    const Parsed p = Parse({});
    ASSERT_TRUE(p.bOk);
    EXPECT_EQ(-1, p.args.m_nAttachType);
    EXPECT_EQ(0u, p.args.m_hCaptureWnd);
    EXPECT_FALSE(p.args.m_bDeleteAttach);
    EXPECT_TRUE(p.args.m_strUserId.empty());
    EXPECT_TRUE(p.args.m_strAttachPath.empty());
}

TEST(ReporterArgs, EverySwitchInEitherCase) {
    for (const bool bUpper : {true, false}) {
        const auto sw = [bUpper](char16_t c) {
            return std::u16string{u'-', bUpper ? c : static_cast<char16_t>(c + 32)};
        };
        const Parsed p = Parse({sw(u'H'), u"  +4660", sw(u'D'), u"1", sw(u'T'), u"1", sw(u'U'),
                                u"用户 7", sw(u'P'), u"C:\\logs\\a \"b\".rar"});
        ASSERT_TRUE(p.bOk);
        EXPECT_EQ(4660u, p.args.m_hCaptureWnd);
        EXPECT_TRUE(p.args.m_bDeleteAttach);
        EXPECT_EQ(1, p.args.m_nAttachType);
        EXPECT_EQ(u"用户 7", p.args.m_strUserId);
        EXPECT_EQ(u"C:\\logs\\a \"b\".rar", p.args.m_strAttachPath);
    }
}

TEST(ReporterArgs, DecimalConversionOfTypeAndWindow) {
    EXPECT_EQ(0, Parse({u"-t", u"0"}).args.m_nAttachType);
    EXPECT_EQ(0, Parse({u"-T", u"abc"}).args.m_nAttachType);
    EXPECT_EQ(12, Parse({u"-T", u" 12xyz"}).args.m_nAttachType);
    EXPECT_EQ(-3, Parse({u"-T", u"-3"}).args.m_nAttachType);
    EXPECT_EQ(2147483647, Parse({u"-T", u"99999999999"}).args.m_nAttachType);
    // A later pair overwrites an earlier one.
    EXPECT_EQ(1, Parse({u"-T", u"0", u"-t", u"1"}).args.m_nAttachType);
    EXPECT_EQ(u"b", Parse({u"-U", u"a", u"-u", u"b"}).args.m_strUserId);
    // An empty value is a value.
    const Parsed p = Parse({u"-P", u""});
    EXPECT_TRUE(p.bOk);
    EXPECT_TRUE(p.args.m_strAttachPath.empty());
}

TEST(ReporterArgs, DeleteFlagIsOnlyEverSet) {
    EXPECT_FALSE(Parse({u"-D", u"0"}).args.m_bDeleteAttach);
    EXPECT_FALSE(Parse({u"-D", u"no"}).args.m_bDeleteAttach);
    EXPECT_TRUE(Parse({u"-D", u"1", u"-D", u"0"}).args.m_bDeleteAttach);
    EXPECT_TRUE(Parse({u"-d", u"-2"}).args.m_bDeleteAttach);
}

TEST(ReporterArgs, BadCommandLinesFail) {
    const std::vector<std::vector<std::u16string>> vecBad = {
        {u"-T"},                     // last switch without a value
        {u"-T", u"0", u"-U"},        // valid pairs before it do not help
        {u"-X", u"1"},               // letter not in the table
        {u"-TT", u"1"},              // three characters
        {u"T", u"1"},                // no minus sign
        {u"/T", u"1"},               // not a minus sign
        {u"-", u"1"},                // too short
        {u"", u""},                  // empty switch
        {u"-T", u"0", u"--", u"0"},  // a later bad pair fails the whole line
    };
    for (const auto& vec : vecBad) {
        EXPECT_FALSE(Parse(vec).bOk) << "argument count " << vec.size();
    }
}

TEST(ReporterArgs, PairFunctionRejectsMissingParts) {
    kt::CReporterArgs args;
    const std::u16string strSwitch = u"-T";
    const std::u16string strValue = u"5";
    EXPECT_FALSE(kt::ParseArgPair(args, nullptr, &strValue));
    EXPECT_FALSE(kt::ParseArgPair(args, &strSwitch, nullptr));
    EXPECT_EQ(-1, args.m_nAttachType);
    EXPECT_TRUE(kt::ParseArgPair(args, &strSwitch, &strValue));
    EXPECT_EQ(5, args.m_nAttachType);
}

TEST(ReporterArgs, EachPairIsTraced) {
    std::vector<std::string> vecLines;
    kt::TraceSink previous =
        kt::SetTraceSink([&vecLines](std::string_view str) { vecLines.emplace_back(str); });
    Parse({u"-T", u"0", u"-U", u"王"});
    kt::SetTraceSink(previous);
    ASSERT_EQ(2u, vecLines.size());
    EXPECT_EQ("-T - 0\n", vecLines[0]);
    EXPECT_EQ("-U - 王\n", vecLines[1]);
}

}  // namespace
