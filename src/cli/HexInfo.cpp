#include "cli/HexInfo.h"

#include "cli/Session.h"
#include "console/ConsoleDlg.h"
#include "firmware/HexLoader.h"
#include "firmware/ImageIdentity.h"

#include "cli/SysExits.h"

#include <array>
#include <cstdint>

namespace cli {

Record ImageRecord(const std::string& command, const ev::ImageIdentity& id) {
    auto json = [](Field f) {
        f.jsonOnly = true;
        return f;
    };
    char sum[8], crc[12];
    std::snprintf(sum, sizeof sum, "%04X", static_cast<unsigned>(id.sum));
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(id.crc32));
    Record r;
    r.type = "image";
    r.command = command;
    r.caption = image::IdentityLine(id);
    r.top.push_back(json(ScalarField("file", "file", FieldKind::Text, std::string(id.file))));
    r.top.push_back(json(ScalarField("records", "records", FieldKind::Dec, std::to_string(id.records))));
    r.top.push_back(json(ScalarField("data_bytes", "data bytes", FieldKind::Dec, std::to_string(id.dataBytes))));
    r.top.push_back(json(ScalarField("sum", "sum", FieldKind::Hex, sum)));
    r.top.push_back(json(ScalarField("crc32", "CRC-32", FieldKind::Hex, crc)));
    return r;
}

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
        message = r.status == HexLoadStatus::BadRecords ? HexFindingsSummary(path, r) : HexLoadMessage(path, r);
        std::fprintf(err, "zantu-cli: %s\n", message.c_str());
    }
    std::string text;
    if (rc == kExitOk) {
        const Record id = ImageRecord("hex-info", image::Identify(path, r, image));
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
