// Value texts through slot 14 of the loaded library.

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <stdlib.h>

#include "host_fixture.h"

namespace korvax::test {
namespace {

TEST(ValueText, EveryInRangeTextMatchesTheReferenceTable)
{
    auto machine = NewMachine();
    std::ifstream file(std::string(KORVAX_VECTORS_DIR) + "/texts.tsv");
    ASSERT_TRUE(file) << "texts.tsv not found";
    std::string line;
    std::getline(file, line);   // header
    int rows = 0;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string index, value, text;
        std::getline(fields, index, '\t');
        std::getline(fields, value, '\t');
        std::getline(fields, text);
        const char* got = machine->Describe(std::stoi(index), std::stoi(value));
        ASSERT_NE(got, nullptr) << line;
        EXPECT_EQ(std::string(got), text) << "parameter " << index << " value " << value;
        ++rows;
    }
    EXPECT_EQ(rows, 1990);   // every parameter, every in-range value
}

TEST(ValueText, WorkedValues)
{
    auto machine = NewMachine();
    const struct {
        int index, value;
        const char* text;
    } cases[] = {
        {0, 1, "-100.0 dB"}, {0, 71, "+0.0 dB"},  {0, 89, "+6.0 dB"},   {0, 128, "+15.5 dB"},
        {1, 42, "42"},       {4, 64, "100%"},     {4, 100, "156%"},     {4, 128, "200%"},
        {5, 0, "-"},         {5, 4, "bypass"},    {9, 1, "1:1"},        {9, 15, "1:1"},
        {9, 16, "2:1"},      {9, 64, "8:1"},      {9, 128, "30:1"},     {10, 40, "7.4 ms"},
        {11, 128, "7785.4 ms"}, {15, 0, "0.0 dB"}, {15, 60, "-6.0 dB"}, {16, 46, "25.0 ms"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(machine->Describe(c.index, c.value), c.text) << c.index << " " << c.value;
}

TEST(ValueText, OutOfRangeIndexAndSoloValueLeaveTheBufferUntouched)
{
    auto machine = NewMachine();
    auto other = NewMachine();
    const char* buffer = machine->Describe(5, 2);
    ASSERT_STREQ(buffer, "MID");
    EXPECT_EQ(machine->Describe(17, 1), nullptr);
    EXPECT_EQ(machine->Describe(-1, 1), nullptr);
    EXPECT_EQ(machine->Describe(std::numeric_limits<std::int32_t>::min(), 1), nullptr);
    EXPECT_EQ(machine->Describe(5, 5), buffer);
    EXPECT_EQ(machine->Describe(5, -1), buffer);
    EXPECT_STREQ(buffer, "MID");
    // One buffer for every machine: the second text replaces the first.
    EXPECT_EQ(other->Describe(1, 7), buffer);
    EXPECT_STREQ(buffer, "7");
}

TEST(ValueText, AnyValueStaysWithinTheBuffer)
{
    auto machine = NewMachine();
    const std::int32_t extremes[] = {std::numeric_limits<std::int32_t>::min(), -1000000, -129, -1, 0, 129,
                                     255, 1000, 14000, 1000000, std::numeric_limits<std::int32_t>::max()};
    for (int index = 0; index < 17; ++index) {
        for (std::int32_t value : extremes) {
            const char* text = machine->Describe(index, value);
            ASSERT_NE(text, nullptr);
            EXPECT_NE(std::memchr(text, '\0', 32), nullptr) << index << " " << value;
            EXPECT_GT(std::strlen(text), 0u) << index << " " << value;
        }
    }
    EXPECT_STREQ(machine->Describe(10, 1000), "5.18e+21 ms");
}

// A host that sets its user's locale: the texts keep their decimal point. The
// system may have no locale with a decimal comma, so one is compiled into a
// scratch folder first.
TEST(ValueText, DecimalCommaLocaleLeavesTheTextsAlone)
{
    char folder[] = "/tmp/korvax-locale.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string command = std::string("localedef -i de_DE -f ISO-8859-1 ") + folder + "/de_DE >/dev/null 2>&1";
    const bool compiled = std::system(command.c_str()) == 0;
    setenv("LOCPATH", folder, 1);
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    const bool comma = compiled && std::setlocale(LC_ALL, "de_DE") != nullptr &&
                       std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    std::string texts;
    if (comma) {
        auto machine = NewMachine();
        for (const auto& [index, value] : {std::pair{0, 1}, {10, 40}, {11, 128}, {15, 5}, {9, 100000000}})
            texts += std::string(machine->Describe(index, value)) + "|";
    }
    std::setlocale(LC_ALL, previous.c_str());
    unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma could be made (localedef)";
    EXPECT_EQ(texts, "-100.0 dB|7.4 ms|7785.4 ms|-0.5 dB|1.74e+13:1|");
}

} // namespace
} // namespace korvax::test
