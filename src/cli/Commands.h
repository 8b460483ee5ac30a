// The commands of zantu-cli: one for each button of the console window, plus
// list-ports and hex-info, which need no port, and run, which runs a plan of
// them.  Each row names the page and the button the command presses and
// the fields its arguments go into, so the tool drives the core exactly as an
// operator drives the window.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace cli {

enum class Cmd : std::uint8_t {
    Status,
    Dispense,
    TestDispense,
    Zigzag,
    Purge,
    LastStat,
    GetOpacity,
    SetOpacity,
    GetLength,
    SetLength,
    GetOrder,
    SetOrder,
    SenDiag,
    Divert,
    Clutch,
    Bldc,
    Rvdt,
    RomVersion,
    Log,
    Download,
    ListPorts,
    HexInfo,
    Run,
    Results,
};

// What the positional arguments of a command are.
enum class ArgKind : std::uint8_t {
    None,
    Counts,  // four digits-only fields (Request counts)
    Order,   // four digits-only fields (box order)
    Texts,   // four free-text fields (opacity and length, read as hexadecimal)
    Box,     // one box number 1..4 (a radio of four)
    BoxOpt,  // as Box, or none
    File,    // one file path
};

// Options a command takes besides the global ones.
enum OptBits : std::uint8_t {
    kOptNone = 0,
    kOptBatch = 1u << 0,     // --repeat N, --wait S
    kOptLog = 1u << 1,       // --password-file F, --dir DIR
    kOptDownload = 1u << 2,  // --verify, --no-verify, --reset, --ignore-checksums
    kOptResults = 1u << 3,   // --since, --plan, --csv, --push
};

inline constexpr int kNoPage = -1;

struct CommandInfo {  // name, command, page, button, arguments, fields (or radios), options, synopsis, summary
    std::string_view name;
    Cmd cmd;
    int page;    // tab page the button stands on
    int button;  // control id of the button
    ArgKind args;
    std::array<int, 4> fields;
    std::uint8_t options;
    std::string_view synopsis;
    std::string_view summary;
};

inline constexpr std::array<int, 4> kNoFields{0, 0, 0, 0};
inline constexpr std::array<int, 4> kRequestFields{1035, 1036, 1037, 1038};
inline constexpr std::array<int, 4> kOpacityFields{1086, 1087, 1088, 1089};
inline constexpr std::array<int, 4> kLengthFields{1139, 1140, 1141, 1142};
inline constexpr std::array<int, 4> kOrderFields{1090, 1091, 1112, 1113};
inline constexpr std::array<int, 4> kSenDiagRadios{1043, 1044, 1045, 1114};
inline constexpr std::array<int, 4> kTestRadios{1115, 1116, 1117, 1118};

inline constexpr std::array<CommandInfo, 24> kCommands{{
    {"status", Cmd::Status, 2, 1006, ArgKind::None, kNoFields, kOptNone, "status",
     "sensors, opacity and length of each box (STATUS)"},
    {"dispense", Cmd::Dispense, 1, 1001, ArgKind::Counts, kRequestFields, kOptBatch,
     "dispense B1 B2 B3 B4 [--repeat N] [--wait S]", "dispense notes from the four boxes (DISPENSE)"},
    {"test-dispense", Cmd::TestDispense, 1, 1003, ArgKind::Counts, kRequestFields, kOptBatch,
     "test-dispense B1 B2 B3 B4 [--repeat N] [--wait S]", "test-dispense (TEST DISP)"},
    {"zigzag", Cmd::Zigzag, 1, 1005, ArgKind::Counts, kRequestFields, kOptBatch,
     "zigzag B1 B2 B3 B4 [--repeat N] [--wait S]", "zigzag-dispense (ZIGZAG)"},
    {"purge", Cmd::Purge, 1, 1002, ArgKind::None, kNoFields, kOptNone, "purge",
     "purge the transport into the reject box (PURGE)"},
    {"last-stat", Cmd::LastStat, 1, 1004, ArgKind::None, kNoFields, kOptBatch,
     "last-stat [--repeat N] [--wait S]", "counts of the last dispense (LAST STAT)"},
    {"get-opacity", Cmd::GetOpacity, 3, 1007, ArgKind::None, kNoFields, kOptNone, "get-opacity",
     "read the four opacity values (GET OPACITY)"},
    {"set-opacity", Cmd::SetOpacity, 3, 1008, ArgKind::Texts, kOpacityFields, kOptNone,
     "set-opacity V1 V2 V3 V4", "write the four opacity values (SET OPACITY)"},
    {"get-length", Cmd::GetLength, 3, 1017, ArgKind::None, kNoFields, kOptNone, "get-length",
     "read the four length values (GET LENGTH)"},
    {"set-length", Cmd::SetLength, 3, 1018, ArgKind::Texts, kLengthFields, kOptNone,
     "set-length V1 V2 V3 V4", "write the four length values (SET LENGTH)"},
    {"get-order", Cmd::GetOrder, 3, 1009, ArgKind::None, kNoFields, kOptNone, "get-order",
     "read the box order (GET ORDER)"},
    {"set-order", Cmd::SetOrder, 3, 1010, ArgKind::Order, kOrderFields, kOptNone,
     "set-order A B C D", "write the box order (SET ORDER)"},
    {"sen-diag", Cmd::SenDiag, 3, 1011, ArgKind::Box, kSenDiagRadios, kOptNone, "sen-diag BOX",
     "sensor diagnosis of box 1..4 (SEN DIAG)"},
    {"divert", Cmd::Divert, 4, 1012, ArgKind::None, kNoFields, kOptNone, "divert",
     "diverter test (DIVERT)"},
    {"clutch", Cmd::Clutch, 4, 1013, ArgKind::Box, kTestRadios, kOptNone, "clutch BOX",
     "clutch test of box 1..4 (CLUTCH)"},
    {"bldc", Cmd::Bldc, 4, 1014, ArgKind::None, kNoFields, kOptNone, "bldc", "BLDC test (BLDC)"},
    {"rvdt", Cmd::Rvdt, 4, 1015, ArgKind::BoxOpt, kTestRadios, kOptNone, "rvdt [BOX]",
     "RVDT test, of box 1..4 or of none (RVDT)"},
    {"rom-version", Cmd::RomVersion, 4, 1016, ArgKind::None, kNoFields, kOptNone, "rom-version",
     "the module's firmware version (RomVer)"},
    {"log", Cmd::Log, 2, 1019, ArgKind::None, kNoFields, kOptLog,
     "log [--password-file F] [--dir DIR]", "save the module's service log to a file (LOG)"},
    {"download", Cmd::Download, 5, 1171, ArgKind::File, kNoFields, kOptDownload,
     "download FILE [--no-verify] [--reset] [--ignore-checksums]",
     "flash an Intel HEX file, then Verify it"},
    {"list-ports", Cmd::ListPorts, kNoPage, 0, ArgKind::None, kNoFields, kOptNone, "list-ports",
     "this machine's serial ports and their names"},
    {"hex-info", Cmd::HexInfo, kNoPage, 0, ArgKind::File, kNoFields, kOptNone, "hex-info FILE",
     "check a HEX file, print its identity; no port"},
    {"run", Cmd::Run, kNoPage, 0, ArgKind::File, kNoFields, kOptNone, "run PLAN",
     "run a plan on every port: a verdict per unit"},
    {"results", Cmd::Results, kNoPage, 0, ArgKind::None, kNoFields, kOptResults,
     "results [--unit ID] [--since DATE] [--plan NAME] [--csv] [--push]",
     "a unit's runs, yield, reject rates; no port"},
}};

// A command that opens no port.
inline constexpr bool TakesNoPort(Cmd cmd) {
    return cmd == Cmd::ListPorts || cmd == Cmd::HexInfo || cmd == Cmd::Results;
}

// The row of a command name, or nullptr.
inline constexpr const CommandInfo* FindCommand(std::string_view name) {
    for (const CommandInfo& c : kCommands)
        if (c.name == name) return &c;
    return nullptr;
}

inline constexpr const CommandInfo& InfoOf(Cmd cmd) {
    for (const CommandInfo& c : kCommands)
        if (c.cmd == cmd) return c;
    return kCommands[0];
}

static_assert([] {
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        const CommandInfo& c = kCommands[i];
        if (static_cast<std::size_t>(c.cmd) != i) return false;
        if (c.page != kNoPage && (c.page < 1 || c.page > 5)) return false;
        const bool fourFields =
            c.args == ArgKind::Counts || c.args == ArgKind::Order || c.args == ArgKind::Texts ||
            c.args == ArgKind::Box || c.args == ArgKind::BoxOpt;
        if (fourFields != (c.fields[0] != 0)) return false;
    }
    return true;
}());

}  // namespace cli
