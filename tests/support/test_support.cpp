#include "support/test_support.h"

#include <fstream>
#include <random>

namespace korvax::test {

::testing::AssertionResult SameBits(const float* expected, const float* actual, std::size_t count)
{
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (FloatBits(expected[i]) != FloatBits(actual[i]) && differing++ == 0)
            first = i;
    if (differing == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " of " << count << " floats differ; first at " << first
                                         << ": " << std::hexfloat << actual[first] << ", expected "
                                         << expected[first] << std::defaultfloat << " (" << actual[first] << " vs "
                                         << expected[first] << ")";
}

::testing::AssertionResult SameBits(const std::vector<float>& expected, const std::vector<float>& actual)
{
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << "size " << actual.size() << ", expected " << expected.size();
    return SameBits(expected.data(), actual.data(), expected.size());
}

std::vector<float> ReadVector(const std::string& name)
{
    const std::string path = std::string(KORVAX_VECTORS_DIR) + "/" + name;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file)
        ADD_FAILURE() << "cannot open reference vector " << path;
    const std::streamsize bytes = file ? std::streamsize(file.tellg()) : 0;
    std::vector<float> data(static_cast<std::size_t>(bytes) / sizeof(float));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size() * sizeof(float)));
    return data;
}

std::vector<float> RandomFloats(std::size_t count, std::uint32_t seed, float lo, float hi)
{
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> data(count);
    for (float& x : data)
        x = dist(engine);
    return data;
}

} // namespace korvax::test
