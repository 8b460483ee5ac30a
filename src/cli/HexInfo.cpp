#include "cli/HexInfo.h"

#include "cli/Report.h"
#include "cli/Session.h"
#include "firmware/HexLoader.h"
#include "console/ConsoleDlg.h"

#include <sysexits.h>

#include <array>
#include <cstdint>

namespace cli {

int RunHexInfo(const Options& o, std::FILE* out, std::FILE* err) {
    const std::string& path = o.args[0];
    std::array<std::uint8_t, kImageSize> image;
    image.fill(0xFF);
    const HexLoadResult r = LoadHexFile(path, image);
    int rc = kExitOk;
    std::string message;
    if (r.status != HexLoadStatus::Ok) {
        const bool unreadable = r.status == HexLoadStatus::FileError || r.status == HexLoadStatus::NotRegularFile;
        rc = unreadable ? EX_NOINPUT : EX_DATAERR;
        message = HexLoadMessage(path, r);
        std::fprintf(err, "zantu-cli: %s\n", message.c_str());
    }
    std::uint32_t sum = 0;
    for (std::uint8_t b : image) sum += b;
    std::string text;
    if (rc == kExitOk) {
        char line[64];
        std::snprintf(line, sizeof line, "%04X", sum & 0xFFFFu);
        Record id;
        id.type = "image";
        id.command = "hex-info";
        id.caption = "image";
        id.top.push_back(ScalarField("file", "file", FieldKind::Text, path));
        id.top.push_back(ScalarField("sum", "sum", FieldKind::Hex, line));
        text += o.json ? FormatJson(id) + "\n" : FormatHuman(id);
    }
    if (o.json) {
        Record s;
        s.type = "summary";
        s.command = "hex-info";
        s.top.push_back(ScalarField("exit", "exit", FieldKind::Dec, std::to_string(rc)));
        s.top.push_back(ScalarField("result", "result", FieldKind::Text, ResultWord(rc)));
        s.top.push_back(ScalarField("message", "message", FieldKind::Text, message));
        text += FormatJson(s) + "\n";
    }
    std::fwrite(text.data(), 1, text.size(), out);
    if (std::fflush(out) != 0 || std::ferror(out)) return rc == kExitOk ? EX_IOERR : rc;
    return rc;
}

}  // namespace cli
