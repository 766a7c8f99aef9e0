// Every stored fuzz input goes through its fuzz target's checks in the ordinary
// build too, so an input that once found a fault keeps guarding against it
// without clang or libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/checks.h"

namespace {

using Check = std::string (*)(const std::uint8_t*, std::size_t);

struct Target {
    const char* name;
    Check check;
};

const Target kTargets[] = {
    {"conversion", kistwerk::fuzz::checkConversion},
    {"filter", kistwerk::fuzz::checkFilter},
    {"fold", kistwerk::fuzz::checkFold},
    {"date", kistwerk::fuzz::checkDate},
};

std::vector<std::filesystem::path> storedInputs(const char* target)
{
    std::vector<std::filesystem::path> files;
    for (const char* kind : {"regression", "corpus"}) {
        std::filesystem::path dir = std::filesystem::path(KISTWERK_FUZZ_DIR) / kind / target;
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
    }
    return files;
}

std::vector<std::uint8_t> contents(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzCorpusTest, StoredInputsKeepEveryProperty)
{
    for (const Target& target : kTargets) {
        std::vector<std::filesystem::path> files = storedInputs(target.name);
        SCOPED_TRACE(target.name);
        EXPECT_FALSE(files.empty()) << "no stored inputs";
        for (const auto& file : files) {
            SCOPED_TRACE(file.string());
            std::vector<std::uint8_t> bytes = contents(file);
            EXPECT_EQ(target.check(bytes.data(), bytes.size()), "");
        }
    }
}

// The checks must see what they are meant to see: inputs of no bytes and of
// the largest body text pass, and the properties hold on hand-made texts.
TEST(FuzzCorpusTest, ChecksPassOnKnownGoodInputs)
{
    const std::string rows[] = {
        "",
        "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80" "ab \xC3",
        "<html>From: x\n<br>\r\n&uuml;&gt;<blockquote>a</blockquote>\x7F<binary>",
        "05.01.2003 09:03:07",
        "2/29/2004 23:59:59",
        "19.01.2038 03:14:08",
        std::string(65001, 'a'),
    };
    for (const std::string& row : rows) {
        SCOPED_TRACE(row.substr(0, 40));
        const auto* data = reinterpret_cast<const std::uint8_t*>(row.data());
        for (const Target& target : kTargets) {
            SCOPED_TRACE(target.name);
            EXPECT_EQ(target.check(data, row.size()), "");
        }
    }
}

} // namespace
