// zantu-cli's output: JSON strings stay valid whatever bytes they hold, the
// records' shape, and the decoded fields read under their names from what the
// console tells with each answer (a frame through the real receiver and decoder).
#include "cli/Json.h"
#include "cli/Report.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

json Parse(const std::string& s) { return json::parse(s, nullptr, /*allow_exceptions=*/false); }

TEST(CliJson, StringsAreEscapedAndAlwaysValidUtf8) {
    struct Case {
        std::string in;
        const char* out;  // the literal written
    };
    const Case cases[] = {
        {"COM1 connect", R"("COM1 connect")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"\r\n\t", R"("\r\n\t")"},
        {std::string("\x00\x01\x1f\x7f", 4), R"("\u0000\u0001\u001f\u007f")"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xff", R"("\u00ff")"},                      // not UTF-8 at all
        {"\x80x", R"("\u0080x")"},                    // a lone continuation byte
        {"\xc0\xaf", R"("\u00c0\u00af")"},            // overlong '/'
        {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},  // a surrogate
        {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // beyond U+10FFFF
        {"\xe2\x82", R"("\u00e2\u0082")"},            // cut short
    };
    for (const auto& c : cases) {
        std::string out;
        cli::AppendJsonString(out, c.in);
        EXPECT_EQ(out, c.out);
        EXPECT_FALSE(Parse(out).is_discarded()) << out;
    }
    // Every single byte value makes a valid document.
    for (int b = 0; b < 256; ++b) {
        std::string out;
        cli::AppendJsonString(out, std::string(1, static_cast<char>(b)) + "\xc3");
        EXPECT_FALSE(Parse(out).is_discarded()) << b;
    }
}

TEST(CliJson, IntegersOnlyWhenTheTextIsOne) {
    for (const char* s : {"0", "7", "-3", "1264", "-2147483648"}) EXPECT_TRUE(cli::IsJsonInteger(s)) << s;
    for (const char* s : {"", "-", "007", "1A", " 1", "1 ", "+1", "FFFFFFFF", "1e3", "12345678901234567890"})
        EXPECT_FALSE(cli::IsJsonInteger(s)) << s;
    cli::JsonWriter w;
    w.BeginArray();
    w.Number("12");
    w.Number("");
    w.Number("0x1");
    w.EndArray();
    EXPECT_EQ(w.Text(), R"([12,"","0x1"])");
}

TEST(CliJson, WriterNestsWithCommas) {
    cli::JsonWriter w;
    w.BeginObject();
    w.Key("a");
    w.BeginArray();
    w.Int(1);
    w.Bool(false);
    w.Null();
    w.EndArray();
    w.Key("b");
    w.BeginObject();
    w.EndObject();
    w.Key("c");
    w.String("x");
    w.EndObject();
    EXPECT_EQ(w.Text(), R"({"a":[1,false,null],"b":{},"c":"x"})");
}

TEST(CliReport, AnswerRecordShape) {
    cli::Record r;
    r.type = "answer";
    r.command = "dispense";
    r.caption = "DISPENSE";
    r.code = 'R';
    r.error = 0x2a;
    r.errorText = "LEN error at EXIT";
    r.index = 2;
    r.of = 3;
    r.fields.push_back(cli::ListField("dispensed", "Dispensed", cli::FieldKind::Dec, {"3", "0", "", "1"}, true));
    cli::Field reason = cli::ScalarField("len", "LEN", cli::FieldKind::Dec, "2");
    reason.group = "reasons";
    r.fields.push_back(reason);
    r.fields.push_back(cli::NullField("box", "Box"));
    r.fields.push_back(cli::ScalarField("sol", "SOL", cli::FieldKind::Flag, "1"));

    const json j = Parse(cli::FormatJson(r));
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["type"], "answer");
    EXPECT_EQ(j["code"], "R");
    EXPECT_EQ(j["error"], 0x2a);
    EXPECT_EQ(j["error_text"], "LEN error at EXIT");
    EXPECT_EQ(j["answer"], 2);
    EXPECT_EQ(j["of"], 3);
    EXPECT_EQ(j["fields"]["dispensed"], json::parse(R"([3,0,"",1])"));  // an empty text stays text
    EXPECT_EQ(j["fields"]["reasons"]["len"], 2);
    EXPECT_TRUE(j["fields"]["box"].is_null());
    EXPECT_EQ(j["fields"]["sol"], true);

    const std::string human = cli::FormatHuman(r);
    EXPECT_EQ(human.substr(0, human.find('\n')), "DISPENSE 2/3  Error = 2a LEN error at EXIT");
    EXPECT_NE(human.find("Box 1  Box 2  Box 3  Box 4"), std::string::npos);
    EXPECT_NE(human.find("Reasons       LEN 2"), std::string::npos);
    EXPECT_NE(human.find("Box -  SOL 1"), std::string::npos);

    // A count that is not known: null, and said so.
    cli::Record u;
    u.type = "summary";
    cli::Field total = cli::ScalarField("dispensed", "Dispensed", cli::FieldKind::Dec, "0");
    total.group = "total";
    total.unknown = true;
    u.fields.push_back(total);
    EXPECT_TRUE(Parse(cli::FormatJson(u))["fields"]["total"]["dispensed"].is_null());
    EXPECT_NE(cli::FormatHuman(u).find("Total         Dispensed unknown"), std::string::npos) << cli::FormatHuman(u);

    // A frame nobody asked for has the shape of an answer.
    r.type = "unasked";
    EXPECT_EQ(Parse(cli::FormatJson(r))["error"], 0x2a);

    // A code that needs escaping, and the backslash of SET ORDER.
    r.code = '\\';
    EXPECT_EQ(Parse(cli::FormatJson(r))["code"], "\\");
}

// ---- the decoded fields, through the real receiver and decoder ---------------

struct NullWriter : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};

// The fields of each answer as the console tells them, in JSON.
struct FieldsHeard final : ev::ConsoleObserver {
    json last;
    void Answered(const ev::Answer& a) override {
        cli::Record r;
        r.type = "answer";
        r.fields = cli::DecodedFields(a.fields);
        last = Parse(cli::FormatJson(r))["fields"];
    }
};

class CliDecodedFields : public ::testing::Test {
protected:
    fw::HeadlessHost host;
    CConsoleDlg dlg{host};
    NullWriter writer;
    FieldsHeard heard;

    void SetUp() override {
        dlg.Create();
        dlg.m_pWriter = &writer;
        dlg.m_bLinked = 1;
        dlg.Subscribe(&heard);
    }
    void TearDown() override { dlg.Unsubscribe(&heard); }
    // Presses a button on its page and answers it with code, ' ', data.
    json Answer(int page, int button, std::uint8_t code, const Bytes& data) {
        if (host.GetCurSel(ids::kTab) != page) host.SelectTab(ids::kTab, page);
        EXPECT_TRUE(host.Click(button));
        Bytes f{proto::ACK, proto::SOH, '0', '0', code, ' '};
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(proto::ETX);
        f.push_back(proto::Xor(f.data() + 1, f.size() - 1));
        dlg.ReceiveBytes(f.data(), f.size());
        EXPECT_FALSE(dlg.m_bBusy);
        return std::exchange(heard.last, json());
    }
};

TEST_F(CliDecodedFields, StatusFlagsAndValuesByBox) {
    // Module flags DVTL and SOL, RVD_R; box 1 CHKL, box 2 CHKR, box 3 BOX,
    // box 4 NEND and CB; opacity and length bytes that differ per box.
    const Bytes data{0x21, 0x02,                 //
                     0x01, ' ', 0x3A, 0x41,      // box 1: opacity 1A, length 21
                     0x02, ' ', 0x3B, 0x42,      // box 2
                     0x04, ' ', 0x3C, 0x43,      // box 3
                     0x18, ' ', 0x1F, 0x44};     // box 4: opacity shows FFFFFFFF
    const json f = Answer(2, 1006, 'P', data);
    EXPECT_EQ(f["dvtl"], true);
    EXPECT_EQ(f["sol"], true);
    EXPECT_EQ(f["dvtr"], false);
    EXPECT_EQ(f["exit"], false);
    EXPECT_EQ(f["rvd_l"], false);
    EXPECT_EQ(f["rvd_r"], true);
    EXPECT_EQ(f["chkl"], json::parse("[true,false,false,false]"));
    EXPECT_EQ(f["chkr"], json::parse("[false,true,false,false]"));
    EXPECT_EQ(f["box"], json::parse("[false,false,true,false]"));
    EXPECT_EQ(f["nend"], json::parse("[false,false,false,true]"));
    EXPECT_EQ(f["cb"], json::parse("[false,false,false,true]"));
    EXPECT_EQ(f["opacity"], json::parse(R"(["1A","1B","1C","FFFFFFFF"])"));
    EXPECT_EQ(f["length"], json::parse(R"(["21","22","23","24"])"));
}

TEST_F(CliDecodedFields, DispenseCountsSumsReasonsAndTotals) {
    host.SelectTab(ids::kTab, 1);
    for (int i = 0; i < 4; ++i) host.Type(1035 + i, std::to_string(4 - i));
    Bytes data{' '};
    const int disp[4] = {4, 3, 1, 0}, rej[4] = {0, 1, 0, 2};
    for (int b = 0; b < 4; ++b) data.insert(data.end(), {proto::CountByte(disp[b]), proto::CountByte(rej[b]), ' '});
    for (int k = 0; k < 7; ++k) data.push_back(proto::CountByte(k));
    const json f = Answer(1, 1001, 'R', data);
    EXPECT_EQ(f["requested"], json::parse("[4,3,2,1]"));
    EXPECT_EQ(f["dispensed"], json::parse("[4,3,1,0]"));
    EXPECT_EQ(f["rejected"], json::parse("[0,1,0,2]"));
    EXPECT_EQ(f["dispensed_sum"], json::parse("[4,3,1,0]"));
    EXPECT_EQ(f["rejected_sum"], json::parse("[0,1,0,2]"));
    EXPECT_EQ(f["reasons"], json::parse(R"({"reject":0,"rvdt":1,"len":2,"skw":3,"dst":4,"flen":5,"fdst":6})"));
    EXPECT_EQ(f["total"], json::parse(R"({"requested":10,"dispensed":8,"rejected":3})"));
}

TEST_F(CliDecodedFields, SettingsTestsAndVersion) {
    EXPECT_EQ(Answer(3, 1007, '[', {'7', ':', '0', '0', '1', '?', '=', '1'}),
              json::parse(R"({"opacity":["7A","0","1F","D1"]})"));
    EXPECT_EQ(Answer(3, 1009, ']', {'2', '1', '4', '3'}), json::parse(R"({"order":["2","1","4","3"]})"));
    EXPECT_EQ(Answer(3, 1011, 'X', {0x53, 0x49, 0x2A, 0x20}),
              json::parse(R"({"opac":"33","leng":"29","div":"A","rej":"0"})"));
    EXPECT_EQ(Answer(4, 1014, 'q', {'"', '0', '4', '?', '0'}), json::parse(R"({"bldc":1264})"));
    EXPECT_EQ(Answer(4, 1015, 'q', {'#', '5', ':', '6', '0'}), json::parse(R"({"rvdt":[90,96]})"));
    EXPECT_EQ(Answer(4, 1016, 'q', {'0', '1', '2', '3', '4', '0', ':', '0', '?'}),
              json::parse(R"({"version":"1234   0A0F"})"));
    EXPECT_EQ(Answer(4, 1012, 'q', {' '}), json::object());  // DIVERT decodes nothing
}

}  // namespace

// ---- list-ports on a fake sysfs and /dev -------------------------------------

#include "FakeDevices.h"
#include "TestPlatform.h"
#include "cli/Session.h"

namespace {

// What f writes to its two streams.
template <class F>
std::pair<std::string, std::string> Captured(F f, int* rc) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    *rc = f(out, err);
    auto read = [](std::FILE* s) {
        std::string text;
        std::rewind(s);
        char buf[1024];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, s)) > 0;) text.append(buf, n);
        std::fclose(s);
        return text;
    };
    return {read(out), read(err)};
}

TEST(CliListPorts, OneLineOrOneObjectPerPortFound) {
    if (!testplat::kDeviceTree) GTEST_SKIP() << "ports are found in the registry here";
    FakeDevices fake;
    ASSERT_TRUE(fake.BuildLaptop());
    cli::Options o;
    int rc = -1;
    auto [text, err] = Captured([&](std::FILE* out, std::FILE* e) { return cli::RunListPorts(o, fake.roots, out, e); }, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err, "");
    // The same lines as the console's --list-ports, in natural order.
    std::vector<std::string> lines;
    for (std::size_t p = 0, eol; (eol = text.find('\n', p)) != std::string::npos; p = eol + 1)
        lines.push_back(text.substr(p, eol - p));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], fake.dev + "/ttyS0 com=- driver=serial8250");
    EXPECT_EQ(lines[4].rfind(fake.dev + "/ttyUSB0 com=- driver=ftdi_sio usb=0403:6001", 0), 0u) << lines[4];

    o.json = true;
    auto [js, jerr] = Captured([&](std::FILE* out, std::FILE* e) { return cli::RunListPorts(o, fake.roots, out, e); }, &rc);
    EXPECT_EQ(rc, 0);
    std::vector<json> objs;
    for (std::size_t p = 0, eol; (eol = js.find('\n', p)) != std::string::npos; p = eol + 1)
        objs.push_back(Parse(js.substr(p, eol - p)));
    ASSERT_EQ(objs.size(), 6u);
    const json& usb = objs[4];
    EXPECT_EQ(usb["type"], "port");
    EXPECT_EQ(usb["device"], fake.dev + "/ttyUSB0");
    EXPECT_EQ(usb["usb"], true);
    EXPECT_EQ(usb["vendor_id"], "0403");
    EXPECT_EQ(usb["serial"], "A1B2C3");
    EXPECT_EQ(usb["by_id"], json::array({fake.ById()}));
    EXPECT_EQ(usb["coms"], json::array());
    EXPECT_EQ(usb["description"], "FTDI FT232R USB UART, serial A1B2C3 (0403:6001, ftdi_sio)");
    EXPECT_EQ(objs[5]["type"], "summary");
    EXPECT_EQ(objs[5]["ports"], 5);

    // None found: said on standard error, still exit 0.
    const DeviceRoots none{fake.tree.Path("none"), fake.tree.Path("none")};
    o.json = false;
    auto [empty, why] = Captured([&](std::FILE* out, std::FILE* e) { return cli::RunListPorts(o, none, out, e); }, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(why, "zantu-cli: no serial ports found\n");
}

}  // namespace
