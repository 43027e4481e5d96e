// Line framing does not depend on how the input arrives: whatever the sizes of
// the reads, the same lines come out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "host/loop.h"

using brindlecast::LineReader;
namespace fs = std::filesystem;

namespace {

struct Framed {
    std::vector<std::string> texts;
    std::vector<bool> tooLong;
    bool operator==(const Framed&) const = default;
};

Framed frame(const std::string& input, std::size_t readSize) {
    // A nameless temporary file: created, then unlinked while it stays open.
    std::string name = (fs::temp_directory_path() / "brindlecast-lines-XXXXXX").string();
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0) << name;
    unlink(name.c_str());
    EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(fd, 0, SEEK_SET);
    LineReader reader(fd, readSize);
    Framed framed;
    while (auto line = reader.next()) {
        framed.texts.push_back(line->text);
        framed.tooLong.push_back(line->tooLong);
    }
    close(fd);
    return framed;
}

}  // namespace

TEST(LineReader, ReadSizesDoNotChangeTheLines) {
    std::vector<std::string> inputs;
    const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
    for (const auto& entry : fs::directory_iterator(corpus)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        inputs.push_back(bytes.str());
    }
    // Terminators and over-long lines at every alignment with the reads.
    const std::string limit(brindlecast::maxLineBytes, 'x');
    inputs.push_back(limit + "\r\n" + limit + "x\r\n" + limit + "\r" + "\n\r\n\r");
    inputs.push_back(std::string(3 * (1 << 16) + 5, '\xff') + "\n{}\n" + limit);
    inputs.push_back("\r\n\n\r\r\n\xe2\x82\n\xe2\x82");

    for (const auto& input : inputs) {
        const Framed whole = frame(input, 0);
        for (std::size_t readSize : {1, 2, 3, 5, 64, 12289, 70000}) {
            ASSERT_TRUE(frame(input, readSize) == whole) << "read size " << readSize << ", input of "
                                                         << input.size() << " bytes";
        }
    }
}

TEST(LineReader, KeepsTheLimitAndTheTerminatorRulesAcrossSmallReads) {
    const std::string limit(brindlecast::maxLineBytes, 'x');
    const std::string input = limit + "\r\n" +                                   // at the limit
                              limit + "x\n" +                                     // one byte over
                              "\xe0\x80" + std::string(4095, '\xff') + "\n" +      // 4,097 bytes, 12,291 repaired
                              "a\rb\r\n" + "\xff\n" + "last\r";
    const Framed framed = frame(input, 7);
    const Framed expected{{limit, "", "", "a\rb", "\xEF\xBF\xBD", "last\r"}, {false, true, true, false, false, false}};
    EXPECT_TRUE(framed == expected);
}
