// Record files: one row as CSV and as a JSON line (a table of the fields that
// need quoting or escaping), and the file rules: header once, appends, a file
// of other columns refused, a name taken, a folder that cannot be written,
// two writers of one file.
#include "records/RecordWriter.h"

#include "TempTree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Times in these tests read in UTC.
struct Utc {
    std::string old;
    bool had = false;
    Utc() {
        if (const char* tz = std::getenv("TZ")) old = tz, had = true;
        testplat::SetEnv("TZ", "UTC");
        tzset();
    }
    ~Utc() {
        if (had)
            testplat::SetEnv("TZ", old.c_str());
        else
            testplat::UnsetEnv("TZ");
        tzset();
    }
};

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

rec::Row AnswerRow(const rec::RunFields& run) {
    rec::Row row;
    row.timeMs = 1'796'817'600'123;  // 2026-12-09 12:00:00.123 UTC
    row.run = &run;
    row.answer = 2;
    row.of = 10;
    row.counts.requested[0] = 5;
    row.counts.dispensed[0] = 4;
    row.counts.rejected[0] = 1;
    row.counts.reasons[1] = 1;
    return row;
}

// The cells of a CSV line without quoted fields, and a column's index by name.
std::vector<std::string> Cells(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::vector<std::string> v;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t comma = line.find(',', pos);
        v.push_back(line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (comma == std::string::npos) return v;
        pos = comma + 1;
    }
}
std::size_t Col(const std::string& name) {
    const auto header = Cells(rec::CsvHeader());
    const auto it = std::find(header.begin(), header.end(), name);
    EXPECT_NE(it, header.end()) << name;
    return static_cast<std::size_t>(it - header.begin());
}

constexpr const char* kCounts = "5,0,0,0,4,0,0,0,1,0,0,0,0,1,0,0,0,0,0";

// The unit field as typed, as a CSV cell and as a JSON value.
struct TextCase {
    const char* name;
    std::string unit;
    std::string csv;
    std::string json;
};

class RecordFileText : public ::testing::TestWithParam<TextCase> {};

TEST_P(RecordFileText, CsvQuotingAndJsonEscaping) {
    Utc utc;
    const TextCase& c = GetParam();
    const rec::RunFields run{"/dev/ttyUSB0", c.unit, "dispense", "5 0 0 0 --repeat 10"};
    const rec::Row row = AnswerRow(run);
    EXPECT_EQ(rec::FormatRow(rec::Format::Csv, row),
              "answer,2026-12-09 12:00:00.123+00:00,/dev/ttyUSB0," + c.csv + ",dispense,5 0 0 0 --repeat 10,2,10," +
                  kCounts + ",,,,,,,,,,,,,\r\n");
    const std::string line = rec::FormatRow(rec::Format::JsonLines, row);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the text holds
    EXPECT_NE(line.find("\"unit\":" + c.json + ","), std::string::npos) << line;
    const nlohmann::json j = nlohmann::json::parse(line);  // well-formed
    EXPECT_EQ(j["requested_1"], 5);
    EXPECT_EQ(j["reason_rvdt"], 1);
    EXPECT_TRUE(j["error"].is_null());
    EXPECT_TRUE(j["exit"].is_null());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RecordFileText,
    ::testing::Values(TextCase{"Plain", "A-17", "A-17", "\"A-17\""},
                      TextCase{"Empty", "", "", "null"},
                      TextCase{"Comma", "line 3, bay 2", "\"line 3, bay 2\"", "\"line 3, bay 2\""},
                      TextCase{"Quote", "7\" unit", "\"7\"\" unit\"", "\"7\\\" unit\""},
                      TextCase{"LineBreak", "a\nb", "\"a\nb\"", "\"a\\u000ab\""},
                      TextCase{"OuterBlank", " A1", "\" A1\"", "\" A1\""},
                      TextCase{"Backslash", "a\\b", "a\\b", "\"a\\\\b\""},
                      TextCase{"Utf8", "K\xC3\xB6ln", "K\xC3\xB6ln", "\"K\xC3\xB6ln\""},
                      TextCase{"NotUtf8", "x\xFFy", "x\xFFy", "\"x\\ufffdy\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordFile, AnswersThenTheSummaryUnderOneHeaderAcrossAppends) {
    Utc utc;
    TempTree tmp;
    const std::string path = tmp.Path("run.csv");
    const rec::RunFields run{"COM1", "", "dispense", "5 0 0 0 --repeat 10"};
    std::string error;
    for (int i = 0; i < 2; ++i) {
        auto w = rec::RecordWriter::Open(path, rec::RecordWriter::Mode::Append, &error);
        ASSERT_TRUE(w) << error;
        EXPECT_EQ(w->FileFormat(), rec::Format::Csv);
        EXPECT_TRUE(w->Write(AnswerRow(run)));
        rec::Row summary = AnswerRow(run);
        summary.kind = rec::Row::Kind::Summary;
        summary.result = "ok";
        summary.exitStatus = 0;
        EXPECT_TRUE(w->Write(summary));
    }
    const std::string answer = rec::FormatRow(rec::Format::Csv, AnswerRow(run));
    rec::Row summaryRow = AnswerRow(run);
    summaryRow.kind = rec::Row::Kind::Summary;
    summaryRow.result = "ok";
    summaryRow.exitStatus = 0;
    const std::string summary = rec::FormatRow(rec::Format::Csv, summaryRow);
    EXPECT_EQ(Slurp(path), rec::CsvHeader() + "\r\n" + answer + summary + answer + summary);
    const auto cells = Cells(summary);
    EXPECT_EQ(cells[Col("type")], "summary");
    EXPECT_EQ(cells[Col("time")], "2026-12-09 12:00:00.123+00:00");  // with its UTC offset
    EXPECT_EQ(cells[Col("result")], "ok");
    EXPECT_EQ(cells[Col("exit")], "0");
    EXPECT_EQ(Cells(answer)[Col("result")], "");
}

// A summary whose counts are not known: requested written, the rest empty (CSV) or null (JSON).
TEST(RecordFile, UnknownCountsAreEmptyNeverZero) {
    const rec::RunFields run{"COM1", "", "dispense", "5 5 5 5 --repeat 3"};
    rec::Row row = AnswerRow(run);
    row.kind = rec::Row::Kind::Summary;
    row.countsKnown = false;
    row.result = "interrupted";
    const auto cells = Cells(rec::FormatRow(rec::Format::Csv, row));
    EXPECT_EQ(cells[Col("requested_1")], "5");
    EXPECT_EQ(cells[Col("of")], "10");
    for (const char* c : {"dispensed_1", "dispensed_4", "rejected_1", "reason_reject", "reason_fdst"})
        EXPECT_EQ(cells[Col(c)], "") << c;
    const auto j = nlohmann::json::parse(rec::FormatRow(rec::Format::JsonLines, row));
    EXPECT_EQ(j["requested_1"], 5);
    EXPECT_TRUE(j["dispensed_1"].is_null());
    EXPECT_TRUE(j["reason_rvdt"].is_null());
    EXPECT_EQ(j["result"], "interrupted");
}

// A file system that takes `room` bytes more and then no more (a full disk).
class FullFile final : public rec::RecordFile {
public:
    FullFile(std::string* data, std::size_t room) : m_data(data), m_room(room) {}
    void Lock() override {}
    void Unlock() override {}
    std::int64_t Size() override { return static_cast<std::int64_t>(m_data->size()); }
    std::int64_t ReadAt(char* p, std::size_t n, std::int64_t at) override {
        const std::size_t from = static_cast<std::size_t>(at);
        if (from >= m_data->size()) return 0;
        n = std::min(n, m_data->size() - from);
        std::copy_n(m_data->data() + from, n, p);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t Append(const char* p, std::size_t n) override {
        const std::size_t take = std::min(n, m_room);
        m_data->append(p, take);
        m_room -= take;
        if (take < n) errno = ENOSPC;
        return take == 0 && n > 0 ? -1 : static_cast<std::int64_t>(take);
    }
    bool Truncate(std::int64_t size) override {
        m_data->resize(static_cast<std::size_t>(size));
        return true;
    }

private:
    std::string* m_data;
    std::size_t m_room;
};

// Where the disk fills: the file keeps whole rows, the row that did not fit
// is cut back, the writer says why and writes nothing more; a later run on a
// file left torn (by a run that was killed mid-row) begins on a fresh line.
struct FullCase {
    const char* name;
    double room;  // rows' worth of bytes past the header; <0: the header itself does not fit
    int rowsKept;
};

class RecordFileFull : public ::testing::TestWithParam<FullCase> {};

TEST_P(RecordFileFull, WholeRowsOrNone) {
    const FullCase& c = GetParam();
    const rec::RunFields run{"COM1", "", "dispense", "5 0 0 0 --repeat 10"};
    const std::string header = rec::CsvHeader() + "\r\n";
    const std::string row = rec::FormatRow(rec::Format::Csv, AnswerRow(run));
    std::string data;
    const std::size_t room = c.room < 0 ? header.size() / 2
                                        : header.size() + static_cast<std::size_t>(c.room * static_cast<double>(row.size()));
    std::string error;
    auto w = rec::RecordWriter::OnFile(std::make_unique<FullFile>(&data, room), "run.csv",
                                       rec::RecordWriter::Mode::Append, rec::Format::Csv, &error);
    if (c.room < 0) {
        EXPECT_FALSE(w);
        EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
        EXPECT_EQ(data, "");  // not even half a header
        return;
    }
    ASSERT_TRUE(w) << error;
    int written = 0;
    while (written < 5 && w->Write(AnswerRow(run))) ++written;
    EXPECT_EQ(written, c.rowsKept);
    EXPECT_EQ(w->RowsWritten(), c.rowsKept);
    std::string whole = header;
    for (int i = 0; i < c.rowsKept; ++i) whole += row;
    EXPECT_EQ(data, whole);
    if (c.rowsKept < 5) {
        EXPECT_TRUE(w->Failed());
        EXPECT_NE(w->Error().find("No space left on device"), std::string::npos) << w->Error();
        EXPECT_FALSE(w->Write(AnswerRow(run)));  // nothing more, though room may have come back
        EXPECT_EQ(data, whole);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disk, RecordFileFull,
    ::testing::Values(FullCase{"HeaderDoesNotFit", -1, 0}, FullCase{"NoRoomForARow", 0, 0},
                      FullCase{"FullInTheThirdRow", 2.5, 2}, FullCase{"RoomForAll", 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordFile, ATornLastLineIsSaidAndTheNextRowBeginsOnAFreshLine) {
    TempTree tmp;
    const std::string path = tmp.Path("torn.csv");
    const rec::RunFields run{"COM1", "", "dispense", ""};
    const std::string row = rec::FormatRow(rec::Format::Csv, AnswerRow(run));
    std::ofstream(path, std::ios::binary) << rec::CsvHeader() << "\r\n" << row.substr(0, 20);
    std::string error;
    auto w = rec::RecordWriter::Open(path, rec::RecordWriter::Mode::Append, &error);
    ASSERT_TRUE(w) << error;
    EXPECT_NE(w->Notice().find("cut short"), std::string::npos) << w->Notice();
    EXPECT_TRUE(w->Write(AnswerRow(run)));
    EXPECT_EQ(Slurp(path), rec::CsvHeader() + "\r\n" + row.substr(0, 20) + "\r\n" + row);
    auto again = rec::RecordWriter::Open(path, rec::RecordWriter::Mode::Append, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->Notice(), "");
}

TEST(RecordFile, JsonLinesByName) {
    TempTree tmp;
    std::string error;
    auto w = rec::RecordWriter::Open(tmp.Path("run.jsonl"), rec::RecordWriter::Mode::Append, &error);
    ASSERT_TRUE(w) << error;
    const rec::RunFields run{"COM1", "U9", "purge", ""};
    EXPECT_TRUE(w->Write(AnswerRow(run)));
    w.reset();
    const std::string text = Slurp(tmp.Path("run.jsonl"));
    EXPECT_EQ(nlohmann::json::parse(text)["unit"], "U9");  // no header: the first line is the row
}

TEST(RecordFile, RefusedFiles) {
    TempTree tmp;
    std::string error;
    // A CSV file of other columns is not appended to.
    std::ofstream(tmp.Path("other.csv"), std::ios::binary) << "name,price\r\nx,1\r\n";
    EXPECT_FALSE(rec::RecordWriter::Open(tmp.Path("other.csv"), rec::RecordWriter::Mode::Append, &error));
    EXPECT_NE(error.find("other columns"), std::string::npos) << error;
    EXPECT_EQ(Slurp(tmp.Path("other.csv")), "name,price\r\nx,1\r\n");
    // A batch's own file never takes the place of another.
    EXPECT_FALSE(rec::RecordWriter::Open(tmp.Path("other.csv"), rec::RecordWriter::Mode::CreateNew, &error));
    // A folder that is not one (a root user passes permissions, not this).
    error.clear();
    EXPECT_FALSE(rec::RecordWriter::Open(tmp.Path("other.csv/x.csv"), rec::RecordWriter::Mode::Replace, &error));
    EXPECT_NE(error.find("other.csv/x.csv"), std::string::npos) << error;
}

TEST(RecordFile, TwoWritersOfOneFileWriteOneHeaderAndWholeLines) {
    TempTree tmp;
    const std::string path = tmp.Path("line.csv");
    std::string error;
    auto a = rec::RecordWriter::Open(path, rec::RecordWriter::Mode::Append, &error);
    auto b = rec::RecordWriter::Open(path, rec::RecordWriter::Mode::Append, &error);
    ASSERT_TRUE(a && b) << error;
    const rec::RunFields runA{"/dev/pts/1", "", "dispense", ""}, runB{"/dev/pts/2", "", "dispense", ""};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(a->Write(AnswerRow(runA)));
        EXPECT_TRUE(b->Write(AnswerRow(runB)));
    }
    std::istringstream lines(Slurp(path));
    std::string line;
    int rows = 0, headers = 0;
    while (std::getline(lines, line)) {
        if (line == rec::CsvHeader() + "\r") ++headers;
        else if (line.rfind("answer,", 0) == 0) ++rows;
        else ADD_FAILURE() << line;
    }
    EXPECT_EQ(headers, 1);
    EXPECT_EQ(rows, 6);
}

}  // namespace
