// A file's bytes, for the tests that compare what a program wrote or read with data files.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kttest {

// Every byte of the file; "" when it cannot be opened.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kttest
