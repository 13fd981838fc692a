#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "inspect.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include "platform/codepage.h"
#endif

namespace ktinspect {
namespace {

struct Command {
    const char* pszUsage;
    RunFn pfnRun;
};

std::map<std::string, Command>& Commands() {
    static std::map<std::string, Command> s_commands;
    return s_commands;
}

constexpr size_t kHelpWidth = 79;
constexpr const char* kHelpIndent = "      ";

// One subcommand's synopsis, broken before a bracket so that it fits the help's width.
void PrintSynopsis(FILE* pOut, const std::string& strUsage) {
    std::string strLine = "  ";
    size_t nPos = 0;
    while (nPos < strUsage.size()) {
        size_t nNext = strUsage.find(" [", nPos + 1);
        if (nNext == std::string::npos) nNext = strUsage.size();
        const std::string strPiece = strUsage.substr(nPos, nNext - nPos);
        if (strLine.size() + strPiece.size() > kHelpWidth && strLine.size() > 6) {
            std::fprintf(pOut, "%s\n", strLine.c_str());
            strLine = kHelpIndent + strPiece.substr(strPiece[0] == ' ' ? 1 : 0);
        } else {
            strLine += strPiece;
        }
        nPos = nNext;
    }
    std::fprintf(pOut, "%s\n", strLine.c_str());
}

void PrintHelp() {
    std::printf(
        "Usage: kt-inspect SUBCOMMAND [ARGUMENTS]\n"
        "Look inside the layers of KTReporter; each subcommand prints one JSON object.\n\n"
        "Subcommands:\n");
    for (const auto& [name, cmd] : Commands()) PrintSynopsis(stdout, cmd.pszUsage);
    std::printf(
        "\nOptions:\n"
        "  -h, --help  print this help and exit\n\n"
        "Exit status: 0 when the subcommand ran (whatever result it reports), 1 when it\n"
        "failed to run, 2 for bad usage. See kt-inspect(1).\n");
}

}  // namespace

Registrar::Registrar(const char* pszName, const char* pszUsage, RunFn pfnRun) {
    Commands()[pszName] = Command{pszUsage, pfnRun};
}

void UsageError(const std::string& strMessage) {
    std::fprintf(stderr, "kt-inspect: %s\n", strMessage.c_str());
    std::exit(2);
}

void PrintJson(const nlohmann::json& json) {
    // Invalid UTF-8 must not abort a diagnostics run: it is replaced, not thrown.
    std::cout << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    std::cout.flush();
}

std::string ParsedArgs::Get(const std::string& strName, const std::string& strFallback) const {
    auto range = values.equal_range(strName);
    if (range.first == range.second) return strFallback;
    return std::prev(range.second)->second;
}

std::vector<std::string> ParsedArgs::GetAll(const std::string& strName) const {
    std::vector<std::string> vec;
    for (auto [it, end] = values.equal_range(strName); it != end; ++it) vec.push_back(it->second);
    return vec;
}

long long ParsedArgs::GetNumber(const std::string& strName, long long nFallback) const {
    if (!Has(strName)) return nFallback;
    const std::string str = Get(strName);
    char* pEnd = nullptr;
    const long long n = std::strtoll(str.c_str(), &pEnd, 10);
    if (str.empty() || *pEnd != '\0')
        UsageError("--" + strName + " needs a number, got '" + str + "'");
    return n;
}

ParsedArgs ParseArgs(const Args& vecArgs, const std::set<std::string>& setValued,
                     const std::set<std::string>& setFlags, size_t nMinPositional,
                     size_t nMaxPositional) {
    ParsedArgs parsed;
    for (size_t i = 0; i < vecArgs.size(); ++i) {
        const std::string& arg = vecArgs[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            const std::string name = arg.substr(2);
            if (setValued.count(name)) {
                if (i + 1 >= vecArgs.size()) UsageError("option " + arg + " needs a value");
                parsed.values.emplace(name, vecArgs[++i]);
            } else if (setFlags.count(name)) {
                parsed.flags.insert(name);
            } else {
                UsageError("unknown option " + arg);
            }
        } else {
            parsed.positional.push_back(arg);
        }
    }
    if (parsed.positional.size() < nMinPositional) UsageError("missing argument");
    if (parsed.positional.size() > nMaxPositional) UsageError("too many arguments");
    return parsed;
}

std::string Base64(const void* pData, size_t nLen) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* p = static_cast<const unsigned char*>(pData);
    std::string out;
    out.reserve((nLen + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < nLen; i += 3) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < nLen) {
        const unsigned v = (p[i] << 16) | (i + 1 < nLen ? p[i + 1] << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < nLen ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

#ifdef _WIN32
// The arguments as typed, whatever the ANSI code page: the wide command line, in UTF-8.
Args WideArguments() {
    Args vecArgs;
    int nCount = 0;
    wchar_t** ppArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nCount);
    if (ppArgs == nullptr) return vecArgs;
    for (int i = 0; i < nCount; ++i)
        vecArgs.push_back(kt::ToUtf8(reinterpret_cast<const char16_t*>(ppArgs[i])));
    ::LocalFree(ppArgs);
    return vecArgs;
}
#endif

}  // namespace ktinspect

int main(int argc, char** argv) {
    using namespace ktinspect;
#ifdef _WIN32
    // JSON ends in "\n" and `form` writes raw bytes: stdout gets no CR LF translation.
    _setmode(_fileno(stdout), _O_BINARY);
    const Args vecAll = WideArguments();
    (void)argc;
    (void)argv;
#else
    const Args vecAll(argv, argv + argc);
#endif
    if (vecAll.size() < 2) UsageError("missing subcommand (try 'kt-inspect --help')");
    const std::string name = vecAll[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintHelp();
        return 0;
    }
    auto it = Commands().find(name);
    if (it == Commands().end()) UsageError("unknown subcommand '" + name + "'");
    const Args vecArgs(vecAll.begin() + 2, vecAll.end());
    try {
        return it->second.pfnRun(vecArgs);
    } catch (const std::exception& e) {
        // A third-party call that throws (JSON, filesystem) is reported, not a crash.
        std::fprintf(stderr, "kt-inspect: %s\n", e.what());
        return 1;
    }
}
