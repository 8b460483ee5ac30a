#include "cli/Plan.h"

#include "commands/AnswerFields.h"

#include <openssl/evp.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace plan {

namespace {

// The flags of the STATUS answer ('P'), as the decoded-fields table has them.
bool StatusFlag(std::string_view key, bool& perBox) {
    for (const AnswerField& row : FieldsOf('P', 0))
        if (row.kind == FieldKind::Flag && row.key == key) {
            perBox = row.perBox;
            return true;
        }
    return false;
}

std::string StatusFlags() {
    std::string s;
    for (const AnswerField& row : FieldsOf('P', 0))
        if (row.kind == FieldKind::Flag) s += (s.empty() ? "" : ", ") + std::string(row.key);
    return s;
}

bool Reads(const LimitInfo& info, std::string_view command) {
    if (info.commands == "*") return true;
    std::string_view rest = info.commands;
    while (!rest.empty()) {
        const std::size_t sp = rest.find(' ');
        if (rest.substr(0, sp) == command) return true;
        if (sp == std::string_view::npos) break;
        rest.remove_prefix(sp + 1);
    }
    return false;
}

std::string Sha256Hex(std::string_view bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 0xF];
    }
    return out;
}

// The checks of one file: each failure is its first error, with its line.
class Checker {
public:
    Checker(const std::string& path, const std::string& baseDir) : m_path(path), m_base(baseDir) {}

    bool Failed() const { return m_exit != 0; }
    int Exit() const { return m_exit; }
    const std::string& Error() const { return m_error; }

    void Fail(int line, const std::string& what, int exit = 64) {
        if (m_exit) return;
        m_exit = exit;
        m_error = m_path + ":" + std::to_string(line) + ": " + what;
    }
    static int LineOf(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

    std::string Resolve(const std::string& file) const {
        if (file.empty() || file[0] == '/' || m_base.empty()) return file;
        return m_base + "/" + file;
    }

    void Top(const toml::table& t, Plan& p) {
        for (auto&& [k, v] : t) {
            const std::string key(k.str());
            if (key == "name") {
                if (!v.is_string()) return Fail(LineOf(v), "name: give a text");
                p.name = *v.value<std::string>();
            } else if (key == "description") {
                if (!v.is_string()) return Fail(LineOf(v), "description: give a text");
            } else if (key == "step") {
                const toml::array* steps = v.as_array();
                if (!steps || !steps->is_array_of_tables())
                    return Fail(LineOf(v), "step: give the steps as [[step]] tables");
                for (const toml::node& s : *steps) {
                    Step step;
                    OneStep(*s.as_table(), step);
                    if (Failed()) return;
                    for (const Step& other : p.steps)
                        if (other.name == step.name)
                            return Fail(step.line, "step '" + step.name + "': a second step of this name (line " +
                                                       std::to_string(other.line) + ")");
                    p.steps.push_back(std::move(step));
                }
            } else {
                return Fail(LineOf(v), "unknown field '" + key + "' (name, description, step)");
            }
        }
        if (!Failed() && p.steps.empty()) Fail(1, "the plan has no [[step]]");
    }

private:
    static bool Text(const toml::node& v, std::string& out) {
        if (v.is_string()) {
            out = *v.value<std::string>();
            return true;
        }
        if (v.is_integer()) {
            out = std::to_string(*v.value<std::int64_t>());
            return true;
        }
        return false;
    }

    void OneStep(const toml::table& t, Step& s) {
        s.line = LineOf(t);
        std::string command;
        std::vector<std::string> args, flags;
        const toml::table* limits = nullptr;
        int limitsLine = s.line;
        if (const toml::node* n = t.get("name"); n && n->is_string()) s.name = *n->value<std::string>();
        const std::string who = s.name.empty() ? "step" : "step '" + s.name + "'";
        for (auto&& [k, v] : t) {
            const std::string key(k.str());
            const int line = LineOf(v);
            if (key == "name") {
                if (!v.is_string() || s.name.empty()) return Fail(line, "name: give the step a text");
            } else if (key == "command") {
                if (!v.is_string()) return Fail(line, who + ": command: give a command's name");
                command = *v.value<std::string>();
                const cli::CommandInfo* c = cli::FindCommand(command);
                if (!c) return Fail(line, who + ": unknown command '" + command + "'");
                if (cli::TakesNoPort(c->cmd) || c->cmd == cli::Cmd::Run)
                    return Fail(line, who + ": " + command + " cannot be a step (it opens no port)");
            } else if (key == "args") {
                const toml::array* a = v.as_array();
                if (!a) return Fail(line, who + ": args: give a list ([2, 1, 0, 0])");
                for (const toml::node& e : *a) {
                    std::string text;
                    if (!Text(e, text)) return Fail(LineOf(e), who + ": args: give numbers or texts");
                    args.push_back(text);
                }
            } else if (key == "repeat" || key == "wait") {
                std::string text;
                if (!v.is_integer() || !Text(v, text)) return Fail(line, who + ": " + key + ": give a number");
                flags.push_back("--" + key);
                flags.push_back(text);
            } else if (key == "password_file" || key == "dir") {
                if (!v.is_string()) return Fail(line, who + ": " + key + ": give a file name");
                flags.push_back(key == "dir" ? "--dir" : "--password-file");
                flags.push_back(Resolve(*v.value<std::string>()));
            } else if (key == "verify" || key == "reset" || key == "ignore_checksums") {
                if (!v.is_boolean()) return Fail(line, who + ": " + key + ": give true or false");
                const bool on = *v.value<bool>();
                if (key == "verify")
                    flags.push_back(on ? "--verify" : "--no-verify");
                else if (on)
                    flags.push_back(key == "reset" ? "--reset" : "--ignore-checksums");
            } else if (key == "on_fail") {
                const auto word = v.value<std::string>();
                if (!word || (*word != "stop" && *word != "continue"))
                    return Fail(line, who + ": on_fail: give \"stop\" or \"continue\"");
                s.stopOnFail = *word == "stop";
            } else if (key == "limits") {
                limits = v.as_table();
                limitsLine = line;
                if (!limits) return Fail(line, who + ": limits: give a table ([step.limits])");
            } else {
                return Fail(line, who + ": unknown field '" + key +
                                      "' (name, command, args, repeat, wait, password_file, dir, verify, reset, "
                                      "ignore_checksums, on_fail, limits)");
            }
        }
        if (s.name.empty()) return Fail(s.line, "step: no name");
        if (command.empty()) return Fail(s.line, who + ": no command");
        const cli::CommandInfo& info = *cli::FindCommand(command);
        if (info.cmd == cli::Cmd::Download && !args.empty()) args[0] = Resolve(args[0]);

        // The command line's own checks: ranges, counts, options the command takes.
        std::vector<std::string> words{"zantu-cli", "--simulate", "--", command};
        words.insert(words.begin() + 2, flags.begin(), flags.end());
        words.insert(words.end(), args.begin(), args.end());
        const cli::ParseResult parsed = cli::ParseArgs(words);
        if (!parsed.error.empty()) return Fail(s.line, who + ": " + parsed.error);
        s.options = parsed.options;
        s.options.simulate = false;
        s.words = {command};
        s.words.insert(s.words.end(), args.begin(), args.end());
        s.words.insert(s.words.end(), flags.begin(), flags.end());
        if (info.cmd == cli::Cmd::Log && !s.options.passwordFile)
            return Fail(s.line, who + ": log in a plan needs password_file (a plan asks no one)");
        if (info.cmd == cli::Cmd::Download && ::access(s.options.args[0].c_str(), R_OK) != 0)
            return Fail(s.line, who + ": cannot read the HEX file '" + s.options.args[0] + "': " +
                                    std::strerror(errno), 66);
        if (s.options.passwordFile && ::access(s.options.passwordFile->c_str(), R_OK) != 0)
            return Fail(s.line, who + ": cannot read the password file '" + *s.options.passwordFile + "': " +
                                    std::strerror(errno), 66);
        if (limits) Limits(*limits, limitsLine, who, command, s.limits);
    }

    void Limits(const toml::table& t, int, const std::string& who, const std::string& command, plan::Limits& l) {
        for (auto&& [k, v] : t) {
            const std::string key(k.str());
            const int line = LineOf(v);
            const LimitInfo* info = nullptr;
            for (const LimitInfo& row : LimitTable())
                if (row.key == key) info = &row;
            if (!info) {
                std::string known;
                for (const LimitInfo& row : LimitTable()) known += (known.empty() ? "" : ", ") + std::string(row.key);
                return Fail(line, who + ": unknown limit '" + key + "' (" + known + ")");
            }
            if (!Reads(*info, command))
                return Fail(line, who + ": " + command + " does not read " + std::string(info->what) +
                                      " (limit '" + key + "'; read by " + std::string(info->commands) + ")");
            if (key == "version") {
                if (!v.is_string()) return Fail(line, who + ": version: give the text");
                l.version = *v.value<std::string>();
            } else if (key == "reject_rate_max") {
                const auto pct = v.value<double>();
                if (!pct || !(v.is_integer() || v.is_floating_point()) || *pct < 0.0 || *pct > 100.0)
                    return Fail(line, who + ": reject_rate_max: give a percentage from 0 to 100");
                l.rejectRateMax = *pct;
            } else if (key == "dispensed_equals_requested" || key == "device_error") {
                if (!v.is_boolean()) return Fail(line, who + ": " + key + ": give true or false");
                (key == "device_error" ? l.deviceErrorExpected : l.dispensedEqualsRequested) = *v.value<bool>();
            } else if (key == "opacity" || key == "length") {
                const toml::array* a = v.as_array();
                if (!a || a->size() != 2 || !(*a)[0].is_integer() || !(*a)[1].is_integer())
                    return Fail(line, who + ": " + key + ": give a range [LOW, HIGH] (0x70 works)");
                Range r{*(*a)[0].value<std::int64_t>(), *(*a)[1].value<std::int64_t>()};
                if (r.lo < 0 || r.hi > 0xFF || r.lo > r.hi)
                    return Fail(line, who + ": " + key + ": give LOW <= HIGH, both from 0 to 255 (0xFF)");
                (key == "opacity" ? l.opacity : l.length) = r;
            } else if (key == "sensors") {
                const toml::table* flags = v.as_table();
                if (!flags) return Fail(line, who + ": sensors: give a table (sensors = { rjt = false })");
                for (auto&& [fk, fv] : *flags) {
                    const std::string flag(fk.str());
                    bool perBox = false;
                    if (!StatusFlag(flag, perBox))
                        return Fail(LineOf(fv), who + ": unknown sensor '" + flag + "' (" + StatusFlags() + ")");
                    FlagLimit f{flag, {}};
                    if (fv.is_boolean()) {
                        f.want.push_back(*fv.value<bool>());
                    } else if (const toml::array* a = fv.as_array(); a && perBox && a->size() == 4) {
                        for (const toml::node& e : *a) {
                            if (!e.is_boolean())
                                return Fail(LineOf(fv), who + ": sensors." + flag + ": give true or false");
                            f.want.push_back(*e.value<bool>());
                        }
                    } else {
                        return Fail(LineOf(fv), who + ": sensors." + flag +
                                                    (perBox ? ": give true, false or four of them (box 1 first)"
                                                            : ": give true or false"));
                    }
                    l.sensors.push_back(std::move(f));
                }
            }
        }
    }

    std::string m_path;
    std::string m_base;
    int m_exit = 0;
    std::string m_error;
};

}  // namespace

const std::vector<LimitInfo>& LimitTable() {
    static const std::vector<LimitInfo> kTable{
        {"version", "rom-version", "the firmware version"},
        {"reject_rate_max", "dispense test-dispense zigzag", "reject counts"},
        {"dispensed_equals_requested", "dispense test-dispense zigzag", "dispensed counts"},
        {"opacity", "status get-opacity", "opacity values"},
        {"length", "status get-length", "length values"},
        {"sensors", "status", "sensor flags"},
        {"device_error", "*", "device errors"},
    };
    return kTable;
}

Loaded ParsePlan(std::string_view text, const std::string& path, const std::string& baseDir) {
    Loaded out;
    out.plan.path = path;
    out.plan.hash = Sha256Hex(text);
    toml::table top;
    try {
        top = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        out.exit = 64;
        out.error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return out;
    }
    Checker check(path, baseDir);
    check.Top(top, out.plan);
    if (check.Failed()) {
        out.exit = check.Exit();
        out.error = check.Error();
        out.plan.steps.clear();
        return out;
    }
    if (out.plan.name.empty()) {
        std::string stem = path.substr(path.find_last_of('/') + 1);
        if (const std::size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.resize(dot);
        out.plan.name = stem;
    }
    return out;
}

Loaded LoadPlan(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Loaded out;
        out.exit = 66;
        out.error = path + ": cannot read the plan: " + std::strerror(errno);
        return out;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    return ParsePlan(ss.str(), path, base);
}

}  // namespace plan
