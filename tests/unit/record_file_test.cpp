// Record files: one row as CSV and as a JSON line (a table of the fields that
// need quoting or escaping), and the file rules: header once, appends, a file
// of other columns refused, a name taken, a folder that cannot be written,
// two writers of one file.
#include "records/RecordWriter.h"

#include "TempTree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Times in these tests read in UTC.
struct Utc {
    std::string old;
    bool had = false;
    Utc() {
        if (const char* tz = std::getenv("TZ")) old = tz, had = true;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~Utc() {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
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
              "answer,2026-12-09 12:00:00.123,/dev/ttyUSB0," + c.csv + ",dispense,5 0 0 0 --repeat 10,2,10," +
                  kCounts + ",,,\r\n");
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
        summary.summary = true;
        summary.result = "ok";
        summary.exitStatus = 0;
        EXPECT_TRUE(w->Write(summary));
    }
    const std::string answer = rec::FormatRow(rec::Format::Csv, AnswerRow(run));
    const std::string summary = "summary" + answer.substr(6, answer.size() - 6 - 4) + ",ok,0\r\n";
    EXPECT_EQ(Slurp(path), rec::CsvHeader() + "\r\n" + answer + summary + answer + summary);
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
    std::ofstream(tmp.Path("other.csv")) << "name,price\r\nx,1\r\n";
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
