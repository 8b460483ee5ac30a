// The tools' file calls keep bytes as they are, create exclusively and take
// UTF-8 names, on Linux and (the same binary suite under Wine) on Windows.
#include "files/FileIo.h"
#include "firmware/HexLoader.h"

#include "TempTree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// Every byte value, then the ones a text mode would change: a 0x1A (which
// ends a text-mode read), "\n" alone, "\r\n" and a "\n" at the very end.
std::vector<std::uint8_t> AllBytes() {
    std::vector<std::uint8_t> b;
    for (int i = 0; i < 256; ++i) b.push_back(static_cast<std::uint8_t>(i));
    for (std::uint8_t c : {0x1A, 0x0A, 0x41, 0x0D, 0x0A, 0x1A, 0x1A, 0x00, 0x0A}) b.push_back(c);
    return b;
}

std::vector<std::uint8_t> ReadBack(const std::string& path) {
    files::File f = files::File::Open(path, files::kRead);
    EXPECT_TRUE(f) << path << ": " << std::strerror(errno);
    std::vector<std::uint8_t> out;
    std::uint8_t buf[100];  // short reads, so a 0x1A inside a later read counts too
    for (long long n; f && (n = f.Read(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    EXPECT_EQ(f.Size(), static_cast<std::int64_t>(out.size()));
    return out;
}

TEST(FileIo, EveryByteValueIsWrittenAndReadBackAsItIs) {
    TempTree tmp;
    const std::vector<std::uint8_t> bytes = AllBytes();
    struct Writer {
        const char* name;
        bool (*write)(const std::string& path, const std::vector<std::uint8_t>& b);
    };
    const Writer writers[] = {
        {"WriteWholeFile", [](const std::string& p, const std::vector<std::uint8_t>& b) {
             return files::WriteWholeFile(p, b).empty();
         }},
        {"appends", [](const std::string& p, const std::vector<std::uint8_t>& b) {
             files::File f = files::File::Open(p, files::kAppend | files::kCreate | files::kExclusive);
             const std::size_t half = b.size() / 2;
             return f && f.WriteAll(b.data(), half) && f.WriteAll(b.data() + half, b.size() - half) && f.Close();
         }},
        {"stdio", [](const std::string& p, const std::vector<std::uint8_t>& b) {
             // The runtime's stream on the file: "w" without "b" must still be binary.
             std::FILE* s = files::File::Open(p, files::kWrite | files::kExclusive).ToStdio("w");
             const bool ok = s && std::fwrite(b.data(), 1, b.size(), s) == b.size();
             return s && std::fclose(s) == 0 && ok;
         }},
    };
    for (const Writer& w : writers) {
        SCOPED_TRACE(w.name);
        const std::string path = tmp.Path(std::string(w.name) + ".bin");
        ASSERT_TRUE(w.write(path, bytes));
        EXPECT_EQ(ReadBack(path), bytes);
        // A positioned read in the middle, where a text mode would have
        // turned "\r\n" into one byte.
        files::File f = files::File::Open(path, files::kRead);
        std::uint8_t tail[9] = {};
        ASSERT_EQ(f.ReadAt(tail, sizeof tail, 256), 9);
        EXPECT_EQ(std::vector<std::uint8_t>(tail, tail + 9), std::vector<std::uint8_t>(bytes.begin() + 256, bytes.end()));
    }
}

TEST(FileIo, ExclusiveCreationNeverOpensATakenName) {
    TempTree tmp;
    const std::string path = tmp.Path("taken.txt");
    ASSERT_TRUE(files::WriteWholeFile(path, {'o', 'l', 'd'}).empty());
    errno = 0;
    EXPECT_FALSE(files::File::Open(path, files::kWrite | files::kExclusive));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadBack(path), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

TEST(FileIo, Utf8NamesAreTheNamesOnDisk) {
    TempTree tmp;
    // "prüfung-€.hex": two- and three-byte UTF-8 sequences.
    const std::string name = "pr\xC3\xBC" "fung-\xE2\x82\xAC.hex";
    const std::string path = tmp.Path(name);
    const std::string hex = ":0400000001020304F2\n:00000001FF\n";
    ASSERT_TRUE(files::WriteWholeFile(path, std::vector<std::uint8_t>(hex.begin(), hex.end())).empty());
    EXPECT_EQ(files::KindOf(path), files::Kind::Regular);
    EXPECT_EQ(files::KindOf(tmp.Root()), files::Kind::Directory);
    EXPECT_EQ(files::KindOf(tmp.Path("none")), files::Kind::Missing);
    bool listed = false;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::u8path(tmp.Root()))) {
        const std::u8string u = e.path().filename().u8string();
        listed = listed || std::string(u.begin(), u.end()) == name;
    }
    EXPECT_TRUE(listed);
    std::vector<std::uint8_t> image(40960, 0xFF);
    const HexLoadResult r = LoadHexFile(path, image);
    EXPECT_EQ(r.status, HexLoadStatus::Ok);
    EXPECT_EQ(image[0], 0x01);
    EXPECT_EQ(image[3], 0x04);
    // A folder is refused as one, on every platform.
    EXPECT_EQ(LoadHexFile(tmp.Root(), image).status, HexLoadStatus::NotRegularFile);
}

}  // namespace
