// kt-inspect: one subcommand per call, one JSON object on stdout, exit status 2 for bad usage.
// Each layer adds its subcommands in a cmd_<layer>.cpp of its own that registers them with a
// static Registrar; main.cpp only dispatches.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace ktinspect {

using Args = std::vector<std::string>;
using RunFn = int (*)(const Args& vecArgs);

struct Registrar {
    Registrar(const char* pszName, const char* pszUsage, RunFn pfnRun);
};

// Prints "kt-inspect: <message>" on stderr and exits with status 2.
[[noreturn]] void UsageError(const std::string& strMessage);

// Writes the object and a "\n" to stdout.
void PrintJson(const nlohmann::json& json);

// Command-line options of a subcommand: positional arguments, options with a value ("--x V",
// repeatable), and flags ("--y"). Anything else is a usage error.
struct ParsedArgs {
    std::vector<std::string> positional;
    std::multimap<std::string, std::string> values;
    std::set<std::string> flags;

    bool Has(const std::string& strName) const { return values.count(strName) != 0; }
    // The last value given for the option, or the fallback.
    std::string Get(const std::string& strName, const std::string& strFallback = "") const;
    std::vector<std::string> GetAll(const std::string& strName) const;
    bool Flag(const std::string& strName) const { return flags.count(strName) != 0; }
    // The option as a number; a value that is not one is a usage error.
    long long GetNumber(const std::string& strName, long long nFallback) const;
};

ParsedArgs ParseArgs(const Args& vecArgs, const std::set<std::string>& setValued,
                     const std::set<std::string>& setFlags, size_t nMinPositional,
                     size_t nMaxPositional);

std::string Base64(const void* pData, size_t nLen);

}  // namespace ktinspect
