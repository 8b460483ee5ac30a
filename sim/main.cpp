// zantu-sim: a ZANTU-100 module on a pseudo-terminal or a serial device.
#include "Simulator.h"
#include "StopWait.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Usage();

const char kUsageOptions[] =
    "  --device PATH          use this serial device (raw 9600 8N1; COMn on Windows)\n"
    "  --pace / --no-pace     9600-baud byte timing and module time (default: on)\n"
    "  --time-scale F         multiply every paced time by F (default 1)\n"
    "  --note-ms N            module time per picked note (default 250)\n"
    "  --boxes N              notes in each box at start (default 500)\n"
    "  --near-end N           a box with N notes or fewer is near its end (default 10)\n"
    "  --remove-box N         box N (1..4) is not in the module (repeatable)\n"
    "  --reject-rate R        chance 0..1 that a picked note is rejected (default 0)\n"
    "  --log-frames N         '~' frames sent for one LOG (default 1)\n"
    "  --log-size N           payload bytes of each '~' frame, a multiple of 8 (default 64)\n"
    "  --seed N               random seed (default 1)\n"
    "  --save-flash PATH      write the 40960-byte flash image to PATH on exit\n"
    "Faults (N = for the next N frames or responses):\n"
    "  --withhold-ack N       no ACK and no answer, as if the frame was lost\n"
    "  --nak N                NAK instead of ACK\n"
    "  --corrupt-bcc N        responses with a wrong BCC\n"
    "  --no-response N        ACK, but no response frame\n"
    "  --response-first N     the response before the ACK\n"
    "  --noise N              N noise bytes before every ACK and response\n"
    "  --chunks N             write output in random pieces of 1..N bytes\n"
    "  --error C=HH[:N]       error byte 0xHH in the answers of code C (a character,\n"
    "                         or 0xHH); for N answers, default for good\n"
    "  --answer-twice N       block writes: the block is written but its ACK and\n"
    "                         answer are held until the console resends the frame;\n"
    "                         then both copies are answered (ACK, answer, ACK, answer)\n"
    "  --unsolicited C        send a frame of code C (e.g. w) at each %POKE%\n"
    "  --hangup-after N       close the line after the Nth frame\n"
    "  --fault-rate R         each frame received or sent meets, with chance R (0..1),\n"
    "                         one random fault (no ACK, NAK, bad BCC, no response,\n"
    "                         response before ACK, noise, split writes, an unasked\n"
    "                         frame, a late second answer, a block answered twice);\n"
    "                         the faults injected are counted by kind and printed\n"
    "                         on exit (--seed sets the draw)\n"
    "  --help                 this text\n"
    "  --version              the version\n";

std::string Usage() {
    std::string u = std::string("Usage: zantu-sim [options]\nPlays a ZANTU-100 module on ") + zsim::kDefaultLineWords +
                    ".\n\n" + kUsageOptions;
    const std::size_t at = u.find("%POKE%");
    if (at != std::string::npos) u.replace(at, 6, zsim::kPokeName);
    return u;
}

bool ParseInt(const char* s, int* out) {
    char* end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0' || v < 0 || v > 1000000) return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseDouble(const char* s, double* out) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !(v >= 0.0)) return false;
    *out = v;
    return true;
}

// A code is one character, or a number such as 0x77.
bool ParseCode(const char* s, std::uint8_t* out) {
    if (s[0] != '\0' && s[1] == '\0') {
        *out = static_cast<std::uint8_t>(s[0]);
        return true;
    }
    int v = 0;
    if (!ParseInt(s, &v) || v > 0xFF) return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

// C=HH[:N]
bool ParseError(const char* arg, zsim::ErrorInjection* e) {
    std::string s(arg);
    const std::size_t eq = s.find('=', 1);
    if (eq == std::string::npos) return false;
    std::string code = s.substr(0, eq);
    std::string rest = s.substr(eq + 1);
    std::string count;
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        count = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
    }
    char* end = nullptr;
    const long b = std::strtol(rest.c_str(), &end, 16);
    if (rest.empty() || *end != '\0' || b < 0 || b > 0xFF) return false;
    e->errorByte = static_cast<std::uint8_t>(b);
    e->count = -1;
    if (!count.empty() && (!ParseInt(count.c_str(), &e->count) || e->count == 0)) return false;
    return ParseCode(code.c_str(), &e->code);
}

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) { return zsim::StopWaitDone(Run(argc, argv)); }

namespace {

int Run(int argc, char** argv) {
    enum Opt {
        kDevice = 1000, kPace, kNoPace, kTimeScale, kNoteMs, kBoxesOpt, kNearEnd, kRemoveBox, kRejectRate,
        kLogFrames, kLogSize, kSeed, kSaveFlash, kWithholdAck, kNak, kCorruptBcc, kNoResponse,
        kResponseFirst, kNoise, kChunks, kError, kAnswerTwice, kUnsolicited, kHangup, kFaultRate, kHelp, kVersion,
    };
    static const option kOptions[] = {
        {"device", required_argument, nullptr, kDevice},
        {"pace", no_argument, nullptr, kPace},
        {"no-pace", no_argument, nullptr, kNoPace},
        {"time-scale", required_argument, nullptr, kTimeScale},
        {"note-ms", required_argument, nullptr, kNoteMs},
        {"boxes", required_argument, nullptr, kBoxesOpt},
        {"near-end", required_argument, nullptr, kNearEnd},
        {"remove-box", required_argument, nullptr, kRemoveBox},
        {"reject-rate", required_argument, nullptr, kRejectRate},
        {"log-frames", required_argument, nullptr, kLogFrames},
        {"log-size", required_argument, nullptr, kLogSize},
        {"seed", required_argument, nullptr, kSeed},
        {"save-flash", required_argument, nullptr, kSaveFlash},
        {"withhold-ack", required_argument, nullptr, kWithholdAck},
        {"nak", required_argument, nullptr, kNak},
        {"corrupt-bcc", required_argument, nullptr, kCorruptBcc},
        {"no-response", required_argument, nullptr, kNoResponse},
        {"response-first", required_argument, nullptr, kResponseFirst},
        {"noise", required_argument, nullptr, kNoise},
        {"chunks", required_argument, nullptr, kChunks},
        {"error", required_argument, nullptr, kError},
        {"answer-twice", required_argument, nullptr, kAnswerTwice},
        {"unsolicited", required_argument, nullptr, kUnsolicited},
        {"hangup-after", required_argument, nullptr, kHangup},
        {"fault-rate", required_argument, nullptr, kFaultRate},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };

    zsim::SimOptions opt;
    opt.pace = true;
    zsim::Faults faults;
    std::vector<zsim::ErrorInjection> errors;
    std::vector<int> removed;
    std::string device, saveFlash;
    std::uint8_t unsolicited = 0;
    bool bad = false;

    int c;
    while (!bad && (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
        int n = 0;
        const char* a = optarg;
        switch (c) {
        case kDevice: device = a; break;
        case kPace: opt.pace = true; break;
        case kNoPace: opt.pace = false; break;
        case kTimeScale: bad = !ParseDouble(a, &opt.timeScale); break;
        case kNoteMs: bad = !ParseInt(a, &opt.module.noteMs); break;
        case kBoxesOpt: bad = !ParseInt(a, &opt.module.notesPerBox); break;
        case kNearEnd: bad = !ParseInt(a, &opt.module.nearEndAt); break;
        case kRemoveBox:
            bad = !ParseInt(a, &n) || n < 1 || n > zsim::kBoxes;
            removed.push_back(n);
            break;
        case kRejectRate: bad = !ParseDouble(a, &opt.module.rejectRate) || opt.module.rejectRate > 1.0; break;
        case kLogFrames: bad = !ParseInt(a, &opt.module.logFrames); break;
        case kLogSize: bad = !ParseInt(a, &opt.module.logSize); break;
        case kSeed: bad = !ParseInt(a, &n); opt.module.seed = static_cast<std::uint32_t>(n); break;
        case kSaveFlash: saveFlash = a; break;
        case kWithholdAck: bad = !ParseInt(a, &faults.withholdAck); break;
        case kNak: bad = !ParseInt(a, &faults.nakInsteadOfAck); break;
        case kCorruptBcc: bad = !ParseInt(a, &faults.corruptBcc); break;
        case kNoResponse: bad = !ParseInt(a, &faults.noResponse); break;
        case kResponseFirst: bad = !ParseInt(a, &faults.responseBeforeAck); break;
        case kNoise: bad = !ParseInt(a, &faults.noiseBytes); break;
        case kChunks: bad = !ParseInt(a, &faults.chunkMax); break;
        case kError: {
            zsim::ErrorInjection e;
            bad = !ParseError(a, &e) || e.errorByte == zsim::kETX;
            errors.push_back(e);
            break;
        }
        case kAnswerTwice: bad = !ParseInt(a, &faults.answerTwice); break;
        case kUnsolicited: bad = !ParseCode(a, &unsolicited); break;
        case kHangup: bad = !ParseInt(a, &faults.hangUpAfter); break;
        case kFaultRate: bad = !ParseDouble(a, &opt.module.faultRate) || opt.module.faultRate > 1.0; break;
        case kHelp: std::fputs(Usage().c_str(), stdout); return 0;
        case kVersion: std::puts("zantu-sim " ZANTU_VERSION); return 0;
        default: bad = true; break;
        }
        if (bad && c != '?') std::fprintf(stderr, "zantu-sim: bad value for --%s: %s\n", argv[optind - 1] + 2, a ? a : "");
    }
    if (bad || optind < argc) {
        std::fputs(Usage().c_str(), stderr);
        return 2;
    }

    zsim::PrepareStopWait();
    zsim::Simulator sim(opt);
    sim.WithCore([&](zsim::ModuleCore& core) {
        core.GetFaults() = faults;
        for (const auto& e : errors) core.InjectError(e.code, e.errorByte, e.count);
        for (int n : removed) core.Box(n - 1).present = false;
    });
    std::string path;
    if (device.empty()) {
        path = sim.StartOnPty();
    } else if (sim.StartOnDevice(device)) {
        path = device;
    }
    if (path.empty()) {
        std::fprintf(stderr, "zantu-sim: %s\n", sim.LastError().c_str());
        return 1;
    }
    std::printf("ZANTU-100 simulator on %s\n", path.c_str());
    std::fflush(stdout);

    zsim::WaitForStop([&] {
        if (unsolicited) sim.SendUnsolicited(unsolicited);
    });
    sim.Stop();
    if (opt.module.faultRate > 0.0) {
        std::fputs(sim.FaultReport().c_str(), stdout);
        std::fflush(stdout);
    }
    if (!saveFlash.empty() && !sim.SaveFlash(saveFlash)) {
        std::fprintf(stderr, "zantu-sim: cannot write %s\n", saveFlash.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
